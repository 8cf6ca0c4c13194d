#include "TickDecision.h"

#include <QLocale>

#include <cmath>

std::optional<double> ParseInterval(const QString& text) {
    bool ok = false;
    double seconds = QLocale::system().toDouble(text, &ok);
    if (!ok)
        seconds = QLocale::c().toDouble(text, &ok);
    if (!ok || !std::isfinite(seconds))
        return std::nullopt;
    return seconds;
}

bool ShouldStartAutoUpload(const TickState& tick) {
    bool intervalPassed = true;
    if (tick.intervalText) {
        if (const auto seconds = ParseInterval(*tick.intervalText)) {
            const double threshold = *seconds * 1000.0;
            // The difference of two wrapping counters: right across the sign
            // turn at 2^31 ms and the wrap at 2^32 ms, never negative.
            const quint32 elapsed = tick.now - static_cast<quint32>(tick.lastUpload);
            if (std::isfinite(threshold))
                intervalPassed = !(threshold > static_cast<double>(elapsed));
        }
    }
    if (!intervalPassed)
        return false;
    if (tick.gate && *tick.gate == 0)
        return false;
    return !tick.uploadWaiting;
}
