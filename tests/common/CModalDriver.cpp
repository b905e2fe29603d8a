#include "CModalDriver.h"

#include <QApplication>
#include <QPushButton>
#include <QWidget>

CModalDriver::CModalDriver(std::function<bool(QWidget*)> take, int times)
    : m_take(std::move(take)), m_times(times)
{
    m_timer.setInterval(5);
    QObject::connect(&m_timer, &QTimer::timeout, [this] { Poll(); });
    m_timer.start();
}

std::unique_ptr<CModalDriver> CModalDriver::AnswerBoxes(std::vector<BoxSeen>* seen)
{
    return Every<QMessageBox>([seen](QMessageBox* box) {
        seen->push_back({box->text(), box->detailedText(), box->windowTitle(), box->icon(),
                         box->standardButtons(), box->parentWidget(),
                         std::chrono::steady_clock::now()});
        if (QAbstractButton* ok = box->button(QMessageBox::Ok))
            ok->click();
        else
            box->reject();  // no OK: the test's checks of the buttons tell
    });
}

void CModalDriver::Poll()
{
    QWidget* modal = QApplication::activeModalWidget();
    if (m_inside || Done() || modal == nullptr || !modal->isVisible())
        return;
    // Counted first: the callback may spin an event loop of its own.
    ++m_taken;
    m_inside = true;
    const bool taken = m_take(modal);
    m_inside = false;
    if (!taken)
        --m_taken;
    else if (Done())
        m_timer.stop();
}
