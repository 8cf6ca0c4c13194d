#pragma once

#include "DestinationKey.h"
#include "SecurityPath.h"

#include <QByteArray>

#include <functional>

// What FTP publishes learnt about a server, so that later publishes go
// straight to the request that works there: in memory only, for the life
// of the program, under a lock of its own. Found by DestinationKey::server();
// each item has its rule for when it is forgotten, and a publish that an
// item changes says so in its trace.

// How a server answers for a file's status.
enum class StatusAsking { Stat, Mlst, Nothing };

// How an FTP server lists a folder over its control connection: "STAT -a
// <folder>" (vsftpd, proftpd, pure-ftpd, inetutils' ftpd; pure-ftpd leaves
// names beginning with a dot out without "-a"), "STAT <folder>" (pyftpdlib,
// which takes "-a" for a name), or not at all.
enum class FolderListingVerb { Unknown, StatAll, Stat, Nothing };

// Whether a server's TLS sessions can be held for the next publish.
enum class TlsHolding {
    Always,
    // A held TLS 1.3 session could not open a second data connection: TLS
    // 1.2 at most, which resumes as often as asked, and held.
    Tls12Only,
    // It speaks TLS 1.3 alone: logged in to for each publish.
    Never,
};

// What a bare host's server showed of TLS in this run, in order: a publish
// is held to it, and it only ever rises.
enum class TlsPin { None, Took, Verified };

struct FtpServerLearnt {
    // STAT first, MLST where STAT told nothing, or neither. Forgotten when
    // a publish to the server fails: a reconfigured server is asked anew.
    StatusAsking asking = StatusAsking::Stat;
    // Learnt at the first listing of a folder. Never forgotten.
    FolderListingVerb listing = FolderListingVerb::Unknown;
    // Never forgotten: it is the server's TLS stack, and finding out again
    // costs a failed held publish.
    TlsHolding tlsHolding = TlsHolding::Always;
    // A bare host: how the last publish went, AsTyped where it failed, so
    // that the next one asks for verified TLS again.
    SecurityPath tlsPath = SecurityPath::AsTyped;
    // A bare host that took TLS, or showed a verified certificate, is held
    // to it. Never forgotten and only ever tightened: nothing a server or a
    // network in between says may talk a publish down to clear text.
    TlsPin tlsPin = TlsPin::None;
    // A bare host whose certificate nobody vouches for: the pin of the
    // public key its first such session showed ("sha256//..."), which
    // every later one must show too, as ssh holds a host to its key. Never
    // forgotten.
    QByteArray certificateKey;
};

FtpServerLearnt RecallFtpServer(const DestinationKey& key);
// Changes what is learnt of the server, under the lock: each publish
// changes the items it found out, never a whole set copied at its start.
void LearnFtpServer(const DestinationKey& key, const std::function<void(FtpServerLearnt&)>& change);
// A publish to the server failed: each item goes by its rule.
void ForgetFtpServerAfterFailure(const DestinationKey& key);
