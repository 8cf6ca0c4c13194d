#pragma once

#include "PublishJob.h"
#include "PublishLadder.h"
#include "PublishSession.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

// Closing the window ends a publish's requests at once, and the program
// quits once the publish has unwound. What the publish must not leave
// behind (the list removed and the copy not yet in its place; a copy on the
// server) is settled first on a session of its own, opened at first use,
// whose requests all end by one short deadline: the clean-up limit from
// that first use. A server that does not answer costs that limit at most.
class CloseSettler {
public:
    CloseSettler(const PublishJob& job, const SessionOpener& open);
    ~CloseSettler();
    CloseSettler(const CloseSettler&) = delete;
    CloseSettler& operator=(const CloseSettler&) = delete;

    // The settling session; null where none could be had in time.
    PublishSession* session();
    // Removes a copy of the publish's on it; NoAnswer where there is none.
    PublishSession::Removal remove(const QString& path);

private:
    void armDeadline();

    PublishJob job_; // the publish's, with the clean-up limits
    const SessionOpener& open_;
    std::atomic<bool> late_{false};
    std::mutex mutex_;
    std::condition_variable ended_;
    bool over_ = false;
    std::thread deadline_;
    std::unique_ptr<PublishSession> session_;
    bool opened_ = false;
};
