#pragma once

#include "DestinationKey.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

// What publishes learnt about targets, so that later publishes go straight
// to the step that works there: in memory only, for the life of the
// program, under one lock. Each fact is found by a part of the
// destination's key and has a rule of its own for when it is forgotten; a
// publish that a fact changes says so in its trace. What only an engine
// learns of a server it keeps in a store of its own.

// Which name a publish's copy goes under, in the order they are tried: the
// hidden temporary name, the visible one, the final name itself.
enum class CopyName { Hidden, Visible, Final };

// Found by DestinationKey::account() and the remote path; a changed
// password is another account and starts from nothing. All forgotten when
// a publish to the target fails: the next one starts from the top.
struct TargetLearnt {
    // Which of the publish's names the server took last.
    CopyName firstName = CopyName::Hidden;
    // Publishes store straight over the final file, as a plain store does:
    // the server keeps a temporary copy it cannot remove, or a renamed copy
    // could not keep the file's permissions, owner or group. Says why.
    QString storeInPlace;
    // The server tells nothing of a file's permissions (no way of asking
    // for a file's status tells them): they cannot be kept, and are not
    // asked for again.
    bool tellsNoStatus = false;
    // Where the name, a link, led: the copy can be opened beside that file
    // before the link is asked about again.
    QString symlinkTo;
    // The server renames only onto a free name: the list is removed to make
    // way, without a rename that it refuses first.
    bool removesToReplace = false;
};

TargetLearnt RecallTarget(const DestinationKey& key, const QString& remotePath);
// Changes what is known of the target, under the lock: each publish changes
// what it found out, never a whole set copied at its start, which
// would undo what a publish in between learnt.
void LearnTarget(const DestinationKey& key, const QString& remotePath,
                 const std::function<void(TargetLearnt&)>& change);

// A publish to the target failed: each fact goes by its rule.
void ForgetAfterFailure(const DestinationKey& key, const QString& remotePath);

// A temporary copy this run made and could not remove: the connection broke, the
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

// Whether a publish is to list a list's folder for copies of runs that
// ended: once per run per account and list (a listing judges only that list's
// copies), and again once the time a listing left for it has come
// (PublishClock's sinceBoot). `list`: the path of the file published.
bool FolderListingDue(const DestinationKey& key, const QString& list);
// `againAt`: where the listing left copies it could not judge yet (too young,
// dated ahead, no time to judge them by), when to list it again.
void FolderListed(const DestinationKey& key, const QString& list,
                  std::optional<qint64> againAt = std::nullopt);

// Forgets everything, as a new start of the program would: for tests and
// benchmarks that are many runs in one process.
void ForgetEverything();
// `forget` runs with every ForgetEverything: an engine's store of its own
// registers here when it is first used.
void OnForgetEverything(std::function<void()> forget);

// True the first time `what` is asked about, for the life of the program:
// a warning that an upload every second would otherwise repeat every
// second.
bool FirstTimeTold(const QByteArray& what);
