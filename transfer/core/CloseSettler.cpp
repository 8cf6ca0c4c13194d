#include "CloseSettler.h"

#include "PublishSession.h"

CloseSettler::CloseSettler(const PublishJob& job, const SessionOpener& open)
    : job_(job), open_(open) {
    // Every wait of the settling session is within the clean-up limit, and
    // all of them together too (armDeadline).
    TransferTimeouts& t = job_.timeouts;
    t.connect = std::min(t.connect, t.cleanup);
    const auto cap = std::chrono::ceil<std::chrono::seconds>(t.cleanup);
    t.serverReply = std::min(t.serverReply, cap);
    t.stall = std::min(t.stall, cap);
    t.heldFirstReply = std::min(t.heldFirstReply, t.cleanup);
    t.listing = std::min(t.listing, t.cleanup);
}

CloseSettler::~CloseSettler() {
    // The session goes first: its last requests may still look at the flag.
    session_.reset();
    if (deadline_.joinable()) {
        {
            std::lock_guard lock(mutex_);
            over_ = true;
        }
        ended_.notify_all();
        deadline_.join();
    }
}

void CloseSettler::armDeadline() {
    deadline_ = std::thread([this, limit = job_.timeouts.cleanup] {
        std::unique_lock lock(mutex_);
        if (!ended_.wait_for(lock, limit, [this] { return over_; }))
            late_ = true;
    });
}

PublishSession* CloseSettler::session() {
    if (!opened_) {
        opened_ = true;
        armDeadline();
        session_ = open_(true, job_, late_);
    }
    if (session_ && (late_ || session_->aborted()))
        return nullptr;
    return session_.get();
}

PublishSession::Removal CloseSettler::remove(const QString& path) {
    PublishSession* on = session();
    return on ? on->remove(path) : PublishSession::Removal::NoAnswer;
}
