#pragma once

#include "DestinationKey.h"
#include "SecurityPath.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

// What publishes learnt about servers, so that later publishes go straight
// to the step that works there: in memory only, for the life of the
// program, in this one place under one lock. Each fact is found by a part
// of the destination's key and has a rule of its own for when it is
// forgotten; a publish that a fact changes says so in its trace.

// How a server answers for a file.
enum class FileFactsAsking { Stat, Mlst, Nothing };

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

// Which name a publish's copy goes under, in the order they are tried: the
// hidden temporary name, the visible one, the final name itself.
enum class CopyName { Hidden, Visible, Final };

// Found by DestinationKey::server().
struct ServerFacts {
    // STAT first, MLST where STAT told nothing, or neither. Forgotten when
    // a publish to the server fails: a reconfigured server is asked anew.
    FileFactsAsking asking = FileFactsAsking::Stat;
    // Learnt at the first look at a folder. Never forgotten.
    FolderListingVerb listing = FolderListingVerb::Unknown;
    // Never forgotten: it is the server's TLS stack, and finding out again
    // costs a failed held publish.
    TlsHolding tlsHolding = TlsHolding::Always;
    // A bare host: how the last publish that worked went. Forgotten when a
    // publish fails, so that the next one asks for verified TLS again.
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

// Found by DestinationKey::account() and the remote path; a changed
// password is another account and starts from nothing. All forgotten when
// a publish to the target fails: the next one starts from the top.
struct TargetFacts {
    // Which of the publish's names the server took last.
    CopyName firstName = CopyName::Hidden;
    // Publishes store straight over the final file, as a plain store does:
    // the server keeps a temporary copy it cannot remove, or a renamed copy
    // could not keep the file's permissions, owner or group. Says why.
    QString storeInPlace;
    // The server tells nothing of a file's permissions (neither MLST nor
    // STAT answers): they cannot be kept, and are not asked for again.
    bool tellsNoFacts = false;
    // Where the name, a link, led: the copy can be opened beside that file
    // before the link is asked about again.
    QString linkedTo;
    // The server renames only onto a free name: the list is removed to make
    // way, without a rename that it refuses first.
    bool removesToReplace = false;
};

ServerFacts RecallServer(const DestinationKey& key);
// Changes what is known of the server, under the lock.
void LearnServer(const DestinationKey& key, const std::function<void(ServerFacts&)>& change);

TargetFacts RecallTarget(const DestinationKey& key, const QString& remotePath);
// Changes what is known of the target, under the lock: each publish changes
// the facts it found out, never a whole set copied at its start, which
// would undo what a publish in between learnt.
void LearnTarget(const DestinationKey& key, const QString& remotePath,
                 const std::function<void(TargetFacts&)>& change);

// A publish to the target failed: each fact goes by its rule.
void ForgetAfterFailure(const DestinationKey& key, const QString& remotePath);

// A temporary copy this run made and could not remove: the link broke, the
// server did not answer or refused, the publish was cut short. Found by
// DestinationKey::account() and the copy's folder; the next publish that
// reaches the folder removes it. Never forgotten after a failure.
struct OwedCopy {
    QString path;
    // Whole and checked: the list was removed to make way for it and the
    // rename did not follow. Where the list is missing, it goes in place.
    bool holdsTheList = false;
    int refusals = 0; // removals the server refused
};
// Copies owed in one folder, at the most; the oldest goes first.
constexpr qsizetype MaxOwedCopies = 16;
// A removal the server refused this often is not asked again.
constexpr int MaxOwedRefusals = 3;

void OweCopy(const DestinationKey& key, const OwedCopy& copy);
// `folder` as RemoteFolderOf gives it.
QList<OwedCopy> OwedCopiesIn(const DestinationKey& key, const QString& folder);
// Those of every folder of the account, for one list's name: a publish
// through a link may no longer reach the folder a copy was made in.
QList<OwedCopy> OwedCopiesAnywhere(const DestinationKey& key);
// The copy is gone (the server said so, or that it is not there) or in
// place; or its removal was refused once more.
void CopySettled(const DestinationKey& key, const QString& path);
void CopyRefused(const DestinationKey& key, const QString& path);

// Whether a publish is to look at a list's folder for copies of runs that
// ended: once per run per account and list (a look judges only that list's
// copies), and again once the time a look left for it has come
// (PublishClock's sinceBoot). `list`: the path of the file published.
bool FolderLookDue(const DestinationKey& key, const QString& list);
// `againAt`: where the look left copies it could not judge yet (too young,
// dated ahead, no time to judge them by), when to look again.
void FolderLooked(const DestinationKey& key, const QString& list,
                  std::optional<qint64> againAt = std::nullopt);

// Forgets everything, as a new start of the program would: for tests and
// benchmarks that are many runs in one process.
void ForgetEverything();

// True the first time `what` is asked about, for the life of the program:
// a warning that an upload every second would otherwise repeat every
// second.
bool FirstTimeTold(const QByteArray& what);
