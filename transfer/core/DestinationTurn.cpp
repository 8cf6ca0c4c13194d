#include "DestinationTurn.h"

#include <QSet>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

struct Turns {
    std::mutex mutex;
    std::condition_variable freed;
    QSet<QByteArray> taken;
};

Turns& turns() {
    static Turns t;
    return t;
}

} // namespace

DestinationTurn::DestinationTurn(const QByteArray& destination, const std::atomic<bool>& abort)
    : destination_(destination) {
    Turns& t = turns();
    std::unique_lock lock(t.mutex);
    // An abort sets a flag and notifies nobody: the wait looks at it a few
    // times a second, which costs nothing worth counting while it lasts.
    while (t.taken.contains(destination_)) {
        if (abort.load())
            return;
        t.freed.wait_for(lock, std::chrono::milliseconds(100));
    }
    t.taken.insert(destination_);
    taken_ = true;
}

DestinationTurn::~DestinationTurn() {
    if (!taken_)
        return;
    Turns& t = turns();
    {
        std::lock_guard lock(t.mutex);
        t.taken.remove(destination_);
    }
    t.freed.notify_all();
}
