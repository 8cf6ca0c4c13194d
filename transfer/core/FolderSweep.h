#pragma once

#include "DestinationKey.h"
#include "Learnt.h"
#include "PublishSession.h"

#include <QList>
#include <QString>

#include <optional>

// Clears the list's folder of the copies publishes left there: those this
// run owes (a connection that broke, a removal refused or unanswered, a publish
// cut short), and, at the run's first publish to the folder, those of runs
// that ended (killed mid-store, a power cut), found in the folder's listing
// and removed once unchanged for longer than any live publish stays silent
// (LongestSilence). Only this program's own names for this list, only
// regular files, and only once the list is in place: nothing it does can
// fail the publish.
class FolderSweep {
public:
    // `ahead`: the publish's plan, which the sweep adds its listing and
    // removals to.
    FolderSweep(PublishSession& session, Ahead& ahead, const DestinationKey& key,
                const TransferTimeouts& timeouts);

    // The file the publish replaces and its own copy (empty where it
    // stores in place), once they are known.
    void aim(const QString& finalPath, const QString& ownCopy);
    // A copy the sweep is not to touch: the publish's own, whose removal
    // was just refused.
    void skip(const QString& ownCopy) { ownCopy_ = ownCopy; }
    // Where the folder is to be listed, the engine may open the listing
    // with its next requests.
    void openEarly();
    // Before the rename, with the copy stored and checked: where the engine
    // has the listing in already, what to remove is decided by the copy's
    // own time and goes with the rename. `listThere`: the server showed the
    // list before this publish, so no copy can be its only one.
    void beforeRename(std::optional<qint64> copyChanged, bool listThere);
    // Once the list is in place: lists the folder where not yet, by the list's own time
    // in the listing, and removes.
    void afterPublish(std::optional<qint64> copyChanged);

private:
    struct Doomed {
        QString path;
        QByteArray why; // for the trace
        bool owed = false;
    };
    void readListing(const std::optional<qint64>& copyChanged);
    // The copies this run owes in the folder, to be removed with the rest.
    void gatherOwed();

    PublishSession& s_;
    Ahead& ahead_;
    const DestinationKey& key_;
    const TransferTimeouts& timeouts_;
    QString folder_;
    QString base_;
    QString ownCopy_;
    bool listingDue_ = false;
    bool listed_ = false;
    // When the listing was asked for (PublishClock's sinceBoot): the copy's
    // time, taken later, less the time since is no later than when the
    // listing was read.
    std::optional<qint64> asked_;
    QList<Doomed> doomed_;
};
