#include "HeldSessions.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QTimer>

#include <map>
#include <mutex>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Held {
    std::unique_ptr<HeldSession> session;
    Clock::time_point since;
};

std::mutex mutex;
std::map<QByteArray, Held>& held() {
    static std::map<QByteArray, Held> sessions;
    return sessions;
}

// Closes, outside the lock, every session that idled past the limit.
void closeIdle() {
    std::vector<std::unique_ptr<HeldSession>> idle;
    {
        std::lock_guard lock(mutex);
        const auto now = Clock::now();
        for (auto it = held().begin(); it != held().end();) {
            if (now - it->second.since >= HeldSessionIdleLimit) {
                idle.push_back(std::move(it->second.session));
                it = held().erase(it);
            } else {
                ++it;
            }
        }
    }
}

// One wake-up when a session may have idled out, on the program's own
// thread; no timer runs while nothing is held.
void closeWhenIdle() {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return;
    QMetaObject::invokeMethod(
        app,
        [] {
            QTimer::singleShot(
                std::chrono::duration_cast<std::chrono::milliseconds>(HeldSessionIdleLimit) +
                    std::chrono::milliseconds(100),
                Qt::VeryCoarseTimer, QCoreApplication::instance(), closeIdle);
        },
        Qt::QueuedConnection);
}

} // namespace

QByteArray HeldSessionKey(const QByteArray& destination, const QString& userName,
                          const QString& password) {
    // The password itself is no key: a hash with a salt of this run's own
    // tells a change without keeping it in another place.
    static const QByteArray salt = QByteArray::number(QRandomGenerator::system()->generate64());
    const QByteArray secret =
        QCryptographicHash::hash(salt + password.toUtf8(), QCryptographicHash::Sha256).toHex();
    return destination + '\n' + userName.toUtf8() + '\n' + secret;
}

std::unique_ptr<HeldSession> TakeHeldSession(const QByteArray& key) {
    std::unique_ptr<HeldSession> session;
    bool usable = false;
    {
        std::lock_guard lock(mutex);
        const auto it = held().find(key);
        if (it == held().end())
            return nullptr;
        usable = Clock::now() - it->second.since < HeldSessionIdleLimit;
        session = std::move(it->second.session);
        held().erase(it);
    }
    if (usable && session->looksAlive())
        return session;
    return nullptr; // closed here, outside the lock
}

void HoldSession(const QByteArray& key, std::unique_ptr<HeldSession> session) {
    std::unique_ptr<HeldSession> replaced;
    {
        std::lock_guard lock(mutex);
        Held& slot = held()[key];
        replaced = std::move(slot.session);
        slot = {std::move(session), Clock::now()};
    }
    closeWhenIdle();
}

void CloseHeldSessions() {
    std::map<QByteArray, Held> all;
    {
        std::lock_guard lock(mutex);
        all.swap(held());
    }
}
