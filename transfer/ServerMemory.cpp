#include "ServerMemory.h"

#include <QHash>

#include <mutex>

namespace {

std::mutex mutex;
QHash<QString, ServerTraits>& known() {
    static QHash<QString, ServerTraits> traits;
    return traits;
}

} // namespace

ServerTraits RecallServer(const QString& target) {
    std::lock_guard lock(mutex);
    return known().value(target);
}

void RememberServer(const QString& target, const ServerTraits& traits) {
    std::lock_guard lock(mutex);
    known().insert(target, traits);
}

void ForgetServer(const QString& target) {
    std::lock_guard lock(mutex);
    known().remove(target);
}
