#include "PublishClock.h"

#include <QDateTime>

#include <ctime>

namespace {

qint64 bootMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

PublishClock systemClock() {
    return {bootMilliseconds, [] { return QDateTime::currentSecsSinceEpoch(); }};
}

PublishClock& current() {
    static PublishClock clock = systemClock();
    return clock;
}

} // namespace

const PublishClock& Clock() {
    return current();
}

void SetClockForTests(PublishClock clock) {
    const PublishClock system = systemClock();
    current() = {clock.sinceBoot ? clock.sinceBoot : system.sinceBoot,
                 clock.calendar ? clock.calendar : system.calendar};
}
