#include "StuckTemporaries.h"

#include <QSet>

#include <mutex>

namespace {

std::mutex mutex;
QSet<QString>& targets() {
    static QSet<QString> known;
    return known;
}

} // namespace

void RememberStuckTemporary(const QString& target) {
    std::lock_guard lock(mutex);
    targets().insert(target);
}

bool TemporaryWouldStick(const QString& target) {
    std::lock_guard lock(mutex);
    return targets().contains(target);
}
