#pragma once

#include "SftpCodec.h"
#include "SshProcess.h"

#include <QByteArray>
#include <QHash>
#include <QList>

#include <chrono>
#include <deque>
#include <functional>
#include <optional>

class LocalFile;

// The SFTP conversation over one ssh process: requests numbered and sent,
// replies matched to them, so that requests that do not wait on each other
// travel together.
class SftpClient {
public:
    enum class Error {
        None,
        Timeout,
        Aborted,
        Closed,   // ssh ended
        Protocol, // a reply no SFTP server sends
    };

    explicit SftpClient(SshProcess& ssh) : ssh_(ssh) {}

    // Each request and reply, in words, for the protocol trace.
    void onTrace(std::function<void(const QByteArray&)> trace) { trace_ = std::move(trace); }

    // INIT, then the server's VERSION within `limit`.
    bool connect(std::chrono::milliseconds limit);
    bool connected() const { return connected_; }

    // The extensions the program uses, as the server's VERSION announced
    // them.
    struct Extensions {
        bool posixRename = false; // posix-rename@openssh.com: rename onto a file
        bool fsync = false;       // fsync@openssh.com
    };
    const Extensions& extensions() const { return extensions_; }

    // Waits for the reply to request `id`, `limit` at most without progress.
    std::optional<Sftp::Reply> reply(quint32 id, std::chrono::milliseconds limit);

    // One function a request: each sends it, named in the trace, and
    // returns its id for reply(), so that requests that do not wait on each
    // other go in one flight.
    quint32 open(const QByteArray& path); // to write: created, or truncated
    quint32 close(const QByteArray& handle);
    quint32 lstat(const QByteArray& path);
    quint32 readlink(const QByteArray& path);
    quint32 fstat(const QByteArray& handle);
    quint32 setMode(const QByteArray& path, quint32 mode);
    quint32 setModeOpen(const QByteArray& handle, quint32 mode);
    quint32 fsync(const QByteArray& handle);
    quint32 remove(const QByteArray& path);
    quint32 rename(const QByteArray& from, const QByteArray& to);
    quint32 posixRename(const QByteArray& from, const QByteArray& to);
    quint32 opendir(const QByteArray& path);
    quint32 readdir(const QByteArray& handle);

    // Writes the whole of `file` to the open `handle`, several requests in
    // flight. False on a refused write (`refusal`) or a broken session
    // (error()). With `unanswered`, it returns once the last write is sent
    // and leaves the ids of the writes still in flight there, so that the
    // requests that close the file can go in the same flight; their
    // replies are the caller's to wait for.
    bool write(const QByteArray& handle, LocalFile& file, std::chrono::milliseconds limit,
               Sftp::Reply& refusal, std::deque<quint32>* unanswered = nullptr);
    // Whether the last write stopped because the local file could not be
    // read to its end (an error, or it shrank).
    bool readFailed() const { return readFailed_; }

    Error error() const { return error_; }

private:
    quint32 nextId() { return ++lastId_; }
    // Queues a request built with an id from nextId(); `what` names it in
    // the trace. Its id.
    quint32 send(const QByteArray& packet, const QByteArray& what);
    void trace(const QByteArray& line) const {
        if (trace_)
            trace_(line);
    }

    SshProcess& ssh_;
    std::function<void(const QByteArray&)> trace_;
    Extensions extensions_;
    bool connected_ = false;
    bool readFailed_ = false;
    quint32 lastId_ = 0;
    QHash<quint32, Sftp::Reply> early_;  // replies that came before they were waited for
    QHash<quint32, QByteArray> pending_; // what each open request is, for the trace
    Error error_ = Error::None;
};
