#pragma once

#include "Connection.h"
#include "DestinationKey.h"
#include "LeftCopies.h"
#include "LocalFile.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>

// What the server tells of one file: asked of the final file before a
// publish, and learnt of the copy just stored.
struct FileStatus {
    // What the name is: only a regular file's mode, owner and group are
    // ever a list's.
    enum class Kind { Regular, Symlink, Folder, Other };

    bool exists = false;
    Kind kind = Kind::Regular;
    QString symlinkTarget; // a link's target as the link holds it, where told
    std::optional<qint64> size;
    std::optional<quint32> mode; // permission bits (07777)
    // As the server names them: numbers or names, the same way for every
    // file of one server; empty where it does not say.
    QString owner;
    QString group;
    // When it last changed, in seconds since the epoch by the server's
    // clock, where the answer tells it to the second.
    std::optional<qint64> changed;
};

// What a publish knows of its next requests (PublishSession::plan).
struct Ahead {
    QString copy;         // the name the next store is likely to go under
    QString folder;       // the folder whose listing the next requests may read
    QString listBase;     // ... for the copies of the list of this name
    QStringList removals; // copies the next rename may take along
};

// One logged-in conversation with a server, in the steps a publish takes.
// The publish ladder (PublishLadder) decides which steps to take; each
// engine takes them in its own protocol. Every step logs in first where the session has not yet.
class PublishSession {
public:
    enum class Result {
        Ok,
        Refused,      // the server said no to this request; the session goes on
        NameRefused,  // store: refused under this name before a byte went out
        TargetExists, // rename: refused because the destination exists
        Failed,       // anything else (connection, time-out, abort): failureCode()
    };

    // The most replies of the server one call waits for, in either engine:
    // what the silence limit is counted in (StepWaitsAfterStore).
    struct Replies {
        static constexpr int LogIn = 8; // a fresh session's, before its first request
        static constexpr int Stat = 2;  // one way of asking, then the next
        static constexpr int Store = 2; // the closing reply and the size
        static constexpr int SetMode = 1;
        static constexpr int Rename = 2;
        static constexpr int RemoveThenRename = 3;
        static constexpr int Remove = 1;
    };

    virtual ~PublishSession() = default;

    virtual bool aborted() const = 0;

    // What the publish knows of its next requests, handed whole each time
    // it knows more: an engine that sends requests together opens them in
    // the flight of the request before, and undoes what the publish then
    // does not use (the copy's name stored elsewhere, say).
    virtual void plan(const Ahead& ahead) { (void)ahead; }

    // The status of `path` itself, not of what a symlink there leads to
    // (exists false: no such file). Refused: the server answers no way of
    // asking.
    virtual Result stat(const QString& path, FileStatus& status) = 0;

    // Writes the local file under `path`, creating or truncating it, and
    // learns what arrived: its size at least, and its mode, owner and group
    // where the server tells them in the same answer. `mode`: the
    // permissions the copy should end with; an engine that can set them as
    // part of the store does, and `stored.mode` says what it ended with.
    virtual Result store(const QString& path, LocalFile& file, std::optional<quint32> mode,
                         FileStatus& stored) = 0;

    // Sets the permission bits of `path`.
    virtual Result setMode(const QString& path, quint32 mode) = 0;

    // Puts `from` in the place of `to`, in one step where the server can
    // replace a file atomically. TargetExists: the server renames only onto
    // a free name.
    virtual Result rename(const QString& from, const QString& to) = 0;

    // Removes `to`, then renames `from` onto it: for servers that rename
    // only onto a free name. Refused: either request was refused.
    // `listRemoved`: false only where `to` is sure to be there still (its
    // removal was refused, or never went out); from then on `from` may be
    // the only copy of the list.
    virtual Result removeThenRename(const QString& from, const QString& to,
                                    bool& listRemoved) = 0;

    enum class Removal {
        Removed,  // the server said so
        NotThere, // the server said there is no such name
        Refused,
        NoAnswer, // the request failed or went unanswered: it may be there
    };
    // Removes a copy of the program's own, with the clean-up's short time
    // limits.
    virtual Removal remove(const QString& path) = 0;

    // The regular files, folders and links in `folder` (as RemoteFolderOf
    // gives it) named `finalBase` or after a copy of it (IsCopyOf), with
    // when they changed where told. Refused: the server lists nothing.
    virtual Result listing(const QString& folder, const QString& finalBase,
                        QList<ListedEntry>& entries) = 0;
    // Whether the listing the plan opened is in already, so that what it
    // shows can go with the rename.
    virtual bool listingReady() const { return false; }
    // Copies this session may have made outside the publish's own steps
    // (a name opened ahead of its store) and could not see removed.
    virtual QStringList uncertainCopies() { return {}; }

    // The response code (ResponseCodes.h) for the last failed step; also
    // notes in the job's report what explains it.
    virtual qint32 failureCode(const LocalFile& file) = 0;

    // Whether the last store that Failed may have left a file behind.
    virtual bool mayHaveStored() const = 0;

    // After a failed publish: whether it may run again at once on a fresh
    // session, having failed before any byte of the file went out in a way
    // a fresh session would not.
    enum class RunAgain {
        No,
        // The session was held from an earlier publish, and the server or
        // the network had ended it, or it cannot carry this publish.
        HeldSessionUnfit,
        // A fresh session's handshake failed under the TLS 1.2 cap: the
        // server speaks TLS 1.3 alone.
        Tls12Refused,
    };
    virtual RunAgain runAgain() const { return RunAgain::No; }
    // After a failed publish: the engine learns what the failure showed of
    // the server, once, and forgets by its own rules what a failure undoes.
    virtual void learnFromFailure() {}

    // A step of the program's own in the protocol trace.
    virtual void trace(const QByteArray& line) const = 0;

    // The TLS the connection ended up with, for the key it is held under.
    virtual SessionTls tls() const { return SessionTls::None; }

    // After a publish that worked: the connection, to be held for the next
    // publish to the same destination; null where it saw any failure, or
    // cannot carry another publish. Otherwise the connection closes with
    // the session.
    virtual std::unique_ptr<Connection> release() = 0;
};
