#include "TickTimer.h"

#include <QTimer>

OneSecondTimer::OneSecondTimer(QObject* parent) : TickTimer(parent), timer_(new QTimer(this)) {
    timer_->setInterval(1000);
    timer_->setTimerType(Qt::PreciseTimer);
    timer_->setSingleShot(true);
    connect(timer_, &QTimer::timeout, this, &TickTimer::ticked);
}

void OneSecondTimer::arm() {
    timer_->start();
}

void OneSecondTimer::disarm() {
    timer_->stop();
}
