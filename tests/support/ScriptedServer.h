#pragma once

#include "PublishLadder.h"
#include "PublishSession.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

#include <atomic>

// A server's folder held in memory and played from data, under the real
// publish: the ladder, its rounds, the folder sweep, the owed copies, what
// publishes learn and the held sessions all run on it as on a real server,
// in microseconds. A script ends one request of a publish in one way, and
// the server notes every removal or rename that breaks the program's rules.

// Where real servers differ, as far as a publish can tell.
struct ScriptedBehaviour {
    enum class Rename { OntoFile, OnlyFreeName, Nothing };
    // How a folder is listed: MLSD's UTC times to the second; ls's dates in
    // UTC (vsftpd) or local time with daylight saving (proftpd); SFTP's
    // times, which the file's own status tells too; or not at all.
    enum class Listing { Mlsd, LsUtc, LsLocal, Sftp, Nothing };
    // What a file's status tells and what can be changed: permissions set,
    // permissions fixed (a new file's differ from the list's), a new file
    // in another group, or nothing told at all.
    enum class Status { ModesSettable, ModesFixed, OtherGroup, Nothing };

    Rename rename = Rename::OntoFile;
    Listing listing = Listing::Mlsd;
    Status status = Status::ModesSettable;
    bool dotNamesRefused = false;
    bool removalsRefused = false;
    // The list's name is a symlink to a file in another folder.
    bool listIsSymlink = false;
    // No name beside the list can be made: only the list itself is
    // written (a login that may replace files but create none).
    bool besideRefused = false;
    // A fresh session's handshake fails under the TLS 1.2 cap until a
    // publish learns that the server speaks TLS 1.3 alone.
    bool tls13Only = false;

    QByteArray name() const;
};

// How the script ends a request.
enum class Ending {
    None,
    DropBefore,  // the connection drops before the server does it
    DropAfter,   // the server does it; the connection drops before the reply
    NoReply,     // the server stalls: the reply limit passes, nothing done
    Refused,     // the server says no, this once
    CloseBefore, // the window closes while it is on its way
    CloseAfter,  // the window closes once the server has done it
    Kill,        // the program is killed: a store leaves what it wrote
    OtherLands,  // another publisher's renames land on the list, now and whenever it is free
    OtherSweeps, // another publisher's sweep removes this run's copies first
    ConnectionDown,    // the network goes: this and every later request fails
    // Played only where a row names it: a store the server keeps one byte
    // short of, and says so (a disk that filled up meanwhile).
    ShortStore,
};
inline constexpr const char* EndingNames[] = {
    "none",       "drop before", "drop after", "no reply",     "refused",
    "close before", "close after", "kill",     "other lands", "other sweeps",
    "connection down", "short store",
};

// Thrown where the script kills the program: the publish unwinds at once,
// and the test forgets all the run held.
struct ScriptedKill {};

struct ScriptedNode {
    enum class Kind { File, Folder, Symlink };
    Kind kind = Kind::File;
    QByteArray bytes;
    quint32 mode = 0644;
    QString group = QStringLiteral("www");
    QString target; // a symlink's
    qint64 changed = 0; // by the server's clock
    // A copy of this program's, of the list named `list`, made in run `run`
    // (0: a run before the test's first).
    bool copy = false;
    QString list;
    int run = 0;
    int publish = 0; // the publish that made it
};

class ScriptedServer {
public:
    ScriptedServer(ScriptedBehaviour behaviour, qint64 now);

    ScriptedBehaviour behaviour;
    QMap<QString, ScriptedNode> files;
    qint64 now;      // the server's clock, seconds since 1970
    qint64 boot = 0; // the program's clock since boot, in ms, as the script runs it
    int run = 1;     // the program's run; a kill starts the next

    // The next publish: of `localBytes` to `list`, with its abort flag, and
    // the request the script ends (counted from 0 over all its sessions).
    void beginPublish(const QString& list, const QByteArray& localBytes,
                      std::atomic<bool>* abort, QMap<int, Ending> endings = {});
    int publishes = 0;       // begun so far
    int requests = 0;        // of this publish
    int requestsAfterClose = -1;
    bool inPlaceCut = false; // a store onto the list's own name was cut short
    bool closed = false;
    bool settlingCut = false; // the script ended a request after the Close too
    int endingsPlayed = 0;
    // The most replies a copy of this publish waited through between its
    // last write and the last request that named it.
    int longestCopySilence = 0;

    QStringList violations; // each rule a request broke, as it happened
    QList<QByteArray> trace;

    // The program's own way to a session: the one held for the
    // destination, else a fresh one.
    SessionOpener opener();

    // For the checks: the program's copies of `list` that remain.
    QStringList copiesOf(const QString& list) const;
    // The file `path` leads to, through symlinks.
    QString real(const QString& path) const;

private:
    friend class ScriptedSession;
    QString list_;
    QByteArray bytes_;
    std::atomic<bool>* abort_ = nullptr;
    QMap<int, Ending> endings_;
    bool connectionDown_ = false;
    bool otherAtWork_ = false;
    bool uncapped_ = false; // a publish learnt that the server speaks TLS 1.3 alone
    QMap<QString, int> lastWrite_; // a copy's reply count at its last write
    int replies_ = 0;
    int logIns_ = 0;
};
