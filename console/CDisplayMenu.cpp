#include "CDisplayMenu.h"

CDisplayMenu::CDisplayMenu(const State& state, QWidget* parent) : QMenu(parent)
{
    setObjectName(QStringLiteral("displayMenu"));
    setAttribute(Qt::WA_DeleteOnClose);
    addAction(QStringLiteral("Show Trend"), this, &CDisplayMenu::ShowTrend);
    if (state.recording)
        addAction(QStringLiteral("Stop Recording"), this, &CDisplayMenu::StopRecording);
    else
        addAction(QStringLiteral("Record to File..."), this, &CDisplayMenu::RecordToFile);
    addSeparator();
    addAction(QStringLiteral("Meter Address..."), this, &CDisplayMenu::ChooseMeterAddress)
        ->setEnabled(!state.jobRunning);
    addAction(QStringLiteral("Find Meters..."), this, &CDisplayMenu::FindMeters)
        ->setEnabled(state.portChosen && !state.jobRunning);
}
