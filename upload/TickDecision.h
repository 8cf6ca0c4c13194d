#pragma once

#include <QString>

#include <optional>

// The interval text as a number of seconds: the user's locale first, then the
// C locale, so that "60" and "0.5" always parse. Empty when it is no finite
// number.
std::optional<double> ParseInterval(const QString& text);

// What one tick of the timer sees. An empty optional is a value that could
// not be read.
struct TickState {
    quint32 now = 0;       // the tick count at this tick
    qint32 lastUpload = 0; // the tick count stamped at the last automatic upload
    std::optional<QString> intervalText;
    std::optional<int> gate; // the auto-upload box; non-zero lets uploads through
    bool uploadWaiting = false;
};

// True when the interval has passed and the gate is open. An interval that
// cannot be worked out leaves the decision to the gate alone, and a gate
// that cannot be read lets the upload go ahead. A tick while an upload is
// still waiting never starts another one.
bool ShouldStartAutoUpload(const TickState& tick);
