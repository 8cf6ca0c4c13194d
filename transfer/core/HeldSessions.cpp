#include "HeldSessions.h"

#include <QCoreApplication>
#include <QThreadPool>
#include <QTimer>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Held {
    std::unique_ptr<Connection> session;
    Clock::time_point since;
};

std::mutex mutex;
std::map<QByteArray, Held>& held() {
    static std::map<QByteArray, Held> sessions;
    return sessions;
}

bool expiryPending = false; // under `mutex`

void scheduleExpiry(Clock::duration after);

// Sessions being closed away from the program's thread: a server that no
// longer answers may hold a goodbye up for its two seconds, and the window
// must not wait for that.
QThreadPool& closers() {
    static QThreadPool pool;
    return pool;
}

// Closes, outside the lock and off the program's thread, every session that
// idled past the limit, and looks again when the next one will have.
void closeIdle() {
    auto idle = std::make_shared<std::vector<std::unique_ptr<Connection>>>();
    std::optional<Clock::time_point> next;
    {
        std::lock_guard lock(mutex);
        expiryPending = false;
        const auto now = Clock::now();
        for (auto it = held().begin(); it != held().end();) {
            if (now - it->second.since >= HeldSessionIdleLimit) {
                idle->push_back(std::move(it->second.session));
                it = held().erase(it);
            } else {
                next = std::min(next.value_or(it->second.since), it->second.since);
                ++it;
            }
        }
    }
    if (!idle->empty())
        closers().start([idle] { idle->clear(); });
    if (next)
        scheduleExpiry(*next + HeldSessionIdleLimit - Clock::now());
}

// One timer at a time, on the program's own thread, and none while nothing
// is held: a session held every second must not leave a timer behind each
// time.
void scheduleExpiry(Clock::duration after) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return;
    {
        std::lock_guard lock(mutex);
        if (expiryPending)
            return;
        expiryPending = true;
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(after) +
                    std::chrono::milliseconds(100);
    QMetaObject::invokeMethod(
        app,
        [ms] {
            QTimer::singleShot(ms, Qt::VeryCoarseTimer, QCoreApplication::instance(), closeIdle);
        },
        Qt::QueuedConnection);
}

} // namespace

std::unique_ptr<Connection> TakeHeldSession(const DestinationKey& key) {
    std::unique_ptr<Connection> session;
    bool usable = false;
    {
        std::lock_guard lock(mutex);
        const auto it = held().find(key.session());
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

void HoldSession(const DestinationKey& key, std::unique_ptr<Connection> session) {
    std::unique_ptr<Connection> replaced;
    {
        std::lock_guard lock(mutex);
        Held& slot = held()[key.session()];
        replaced = std::move(slot.session);
        slot = {std::move(session), Clock::now()};
    }
    scheduleExpiry(HeldSessionIdleLimit);
}

void CloseHeldSessions() {
    std::map<QByteArray, Held> all;
    {
        std::lock_guard lock(mutex);
        all.swap(held());
    }
    all.clear();
    // Idle sessions still saying goodbye have two seconds each at most.
    closers().waitForDone();
}
