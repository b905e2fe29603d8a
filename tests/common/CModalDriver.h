// Answers the modal windows a test (or a screenshot tool) brings up: while
// a driver lives, each visible modal widget of its type is handed to its
// callback, from inside that widget's own exec(). Polls
// QApplication::activeModalWidget() on the UI thread, every 5 ms, in any
// event loop that runs meanwhile (QTest::qWaitFor, a nested exec()).
//
//   auto boxes = CModalDriver::Every<QMessageBox>([&](QMessageBox* box) {
//       seen.push_back(box->text());
//       box->button(QMessageBox::Ok)->click();
//   });
//
// A callback should close what it is handed, or it is handed over again.
// While a callback runs, its own driver hands out nothing more.
#pragma once

#include <QMessageBox>
#include <QString>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

// What a message box showed, taken as it came up.
struct BoxSeen {
    QString text;
    QString detail;
    QString caption;
    QMessageBox::Icon icon;
    QMessageBox::StandardButtons buttons;
    QWidget* owner;
    std::chrono::steady_clock::time_point at;
};

class CModalDriver {
public:
    // Every modal T, for as long as the driver lives.
    template <typename T>
    static std::unique_ptr<CModalDriver> Every(std::function<void(T*)> answer)
    {
        return std::make_unique<CModalDriver>(Typed(std::move(answer)), -1);
    }
    // The first modal T only; modal windows of other types are left alone.
    template <typename T>
    static std::unique_ptr<CModalDriver> Once(std::function<void(T*)> act)
    {
        return std::make_unique<CModalDriver>(Typed(std::move(act)), 1);
    }

    // Every message box recorded in `seen` and answered with OK.
    static std::unique_ptr<CModalDriver> AnswerBoxes(std::vector<BoxSeen>* seen);

    // `take` returns false for a widget it leaves alone; `times` < 0: no limit.
    CModalDriver(std::function<bool(QWidget*)> take, int times);

    CModalDriver(const CModalDriver&) = delete;
    CModalDriver& operator=(const CModalDriver&) = delete;

    int Taken() const { return m_taken; }  // counted as each callback starts
    bool Done() const { return m_times >= 0 && m_taken >= m_times; }

private:
    template <typename T>
    static std::function<bool(QWidget*)> Typed(std::function<void(T*)> act)
    {
        return [act = std::move(act)](QWidget* w) {
            T* typed = qobject_cast<T*>(w);
            if (typed != nullptr)
                act(typed);
            return typed != nullptr;
        };
    }

    void Poll();

    QTimer m_timer;
    std::function<bool(QWidget*)> m_take;
    int m_times;
    int m_taken = 0;
    bool m_inside = false;
};
