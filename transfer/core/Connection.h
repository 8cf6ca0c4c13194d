#pragma once

#include <QString>

#include <atomic>
#include <memory>

class PublishSession;
struct PublishJob;

// A logged-in connection of one engine (a handle of the library it runs
// on, or a process it started), held between publishes to one destination so
// that an upload every few seconds logs in once. It holds nothing of the
// publish that made it: each publish starts its own steps on it.
class Connection {
public:
    virtual ~Connection() = default;

    // Whether it can carry another publish: the server has not ended it
    // (nothing unasked waits on it, the process still runs).
    virtual bool looksAlive() const = 0;
    // The address it is connected to, where the program can tell; empty
    // otherwise.
    virtual QString peerAddress() const { return {}; }
    // The name that address was looked up from, for a publish to `typed`:
    // the host as typed, or what the engine's own configuration made of it
    // (a host name it maps the typed one to).
    virtual QString peerHost(const QString& typed) const { return typed; }

    // The steps of one publish on `connection`, which the session takes
    // over; its engine's own kind of session.
    static std::unique_ptr<PublishSession> Resume(std::unique_ptr<Connection> connection,
                                                  const PublishJob& job,
                                                  const std::atomic<bool>& abort);

private:
    // Called on a connection nobody owns any more: the session returned
    // owns it.
    virtual std::unique_ptr<PublishSession> resume(const PublishJob& job,
                                                   const std::atomic<bool>& abort) = 0;
};
