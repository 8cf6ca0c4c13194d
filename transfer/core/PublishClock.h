#pragma once

#include <QtGlobal>

#include <functional>

// The two clocks a publish reads, in one place so that a test can run them
// at the pace of the server it plays instead of the machine's.
struct PublishClock {
    // Milliseconds since the system started, suspend included: a laptop
    // that slept between two requests still counts the time it slept.
    std::function<qint64()> sinceBoot;
    // This machine's calendar, seconds since 1970 (UTC). Only ever used to
    // give a year to a date that a listing shows without one.
    std::function<qint64()> calendar;
};

const PublishClock& Clock();
// Empty functions restore the system's own clocks.
void SetClockForTests(PublishClock clock);
