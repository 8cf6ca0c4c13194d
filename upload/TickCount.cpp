#include "TickCount.h"

#include <ctime>

quint32 TickCount() {
    timespec now{};
    // CLOCK_BOOTTIME keeps counting while the machine sleeps, so a laptop
    // that wakes up after the interval uploads at once.
    clock_gettime(CLOCK_BOOTTIME, &now);
    const auto ms =
        static_cast<quint64>(now.tv_sec) * 1000u + static_cast<quint64>(now.tv_nsec) / 1'000'000u;
    return static_cast<quint32>(ms);
}
