// The display area's menu, the one menu of the main window (objectName
// "displayMenu"): Show Trend, Record to File... or Stop Recording, Meter
// Address..., Find Meters.... It shows the state it is given and reports
// the entry chosen through its signals; it deletes itself once closed.
//
// Neither the meter's address nor a scan can start under a job (the port
// is in use), and a scan needs a port chosen first.
#pragma once

#include <QMenu>

class CDisplayMenu : public QMenu {
    Q_OBJECT

public:
    struct State {
        bool recording = false;
        bool portChosen = false;
        bool jobRunning = false;
    };

    CDisplayMenu(const State& state, QWidget* parent);

signals:
    void ShowTrend();
    void RecordToFile();
    void StopRecording();
    void ChooseMeterAddress();
    void FindMeters();
};
