#pragma once

#include <QObject>

class QTimer;

// What paces the window's ticks: armed for one tick at a time, and armed
// again by the window once that tick has been dealt with, so ticks never
// queue up behind a long upload. The program's is OneSecondTimer; a test
// gives one that ticks when the test says.
class TickTimer : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    virtual void arm() = 0;
    virtual void disarm() = 0;

signals:
    void ticked();
};

// Ticks a second after it is armed and never earlier, so that two ticks are
// always at least a second apart: an interval of N seconds is then reached
// on the Nth tick, not one later because a tick came a few ms soon.
class OneSecondTimer final : public TickTimer {
public:
    explicit OneSecondTimer(QObject* parent = nullptr);
    void arm() override;
    void disarm() override;

private:
    QTimer* timer_;
};
