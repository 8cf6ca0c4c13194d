#include "FolderSweep.h"

#include "PublishClock.h"
#include "RemoteTarget.h"
#include "SilenceLimit.h"


#include <algorithm>

namespace {

QByteArray quoted(const QString& name) {
    return '"' + name.toUtf8() + '"';
}

} // namespace

FolderSweep::FolderSweep(PublishSession& session, Ahead& ahead, const DestinationKey& key,
                         const TransferTimeouts& timeouts)
    : s_(session), ahead_(ahead), key_(key), timeouts_(timeouts) {}

void FolderSweep::aim(const QString& finalPath, const QString& ownCopy) {
    const QString folder = RemoteFolderOf(finalPath);
    ownCopy_ = ownCopy;
    if (folder == folder_ && base_ == finalPath.mid(folder.size()))
        return;
    folder_ = folder;
    base_ = finalPath.mid(folder.size());
    listingDue_ = FolderListingDue(key_, folder_ + base_);
    listed_ = false;
}

void FolderSweep::openEarly() {
    if (!listingDue_)
        return;
    ahead_.folder = folder_;
    ahead_.listBase = base_;
    s_.plan(ahead_);
    asked_ = Clock().sinceBoot();
}

void FolderSweep::beforeRename(std::optional<qint64> copyChanged, bool listThere) {
    if (!listThere)
        return;
    if (listingDue_ && copyChanged && s_.listingReady())
        readListing(copyChanged);
    gatherOwed();
    QStringList paths;
    for (const Doomed& copy : std::as_const(doomed_))
        paths << copy.path;
    if (!paths.isEmpty()) {
        ahead_.removals = paths;
        s_.plan(ahead_);
    }
}

void FolderSweep::gatherOwed() {
    for (const OwedCopy& copy : OwedCopiesAnywhere(key_)) {
        // Only this list's: the folder may hold another list's copies,
        // owed by a publish of that list, which may hold its only bytes.
        // One that holds this list's goes only from the list's own folder.
        const QString folder = RemoteFolderOf(copy.path);
        if (!IsCopyOf(copy.path.mid(folder.size()).toUtf8(), base_) ||
            (copy.holdsTheList && folder != folder_))
            continue;
        const bool listed = std::any_of(doomed_.begin(), doomed_.end(),
                                        [&](const Doomed& d) { return d.path == copy.path; });
        if (!listed && copy.path != ownCopy_)
            doomed_ << Doomed{copy.path, "a copy an earlier publish of this run left", true};
    }
}

void FolderSweep::afterPublish(std::optional<qint64> copyChanged) {
    if (listingDue_ && !listed_)
        readListing(copyChanged);
    gatherOwed();
    using Removal = PublishSession::Removal;
    for (const Doomed& copy : std::as_const(doomed_)) {
        const Removal removal = s_.remove(copy.path);
        const QByteArray name = quoted(copy.path.mid(RemoteFolderOf(copy.path).size()));
        switch (removal) {
        case Removal::Removed:
            s_.trace("removed " + name + ", " + copy.why);
            CopySettled(key_, copy.path);
            break;
        case Removal::NotThere:
            s_.trace(name + " is gone already");
            CopySettled(key_, copy.path);
            break;
        case Removal::Refused:
            s_.trace("the server refuses to remove " + name);
            // Asked again by the next publishes, a few times at most.
            if (!copy.owed)
                OweCopy(key_, OwedCopy{copy.path});
            CopyRefused(key_, copy.path);
            break;
        case Removal::NoAnswer:
            // Still there, maybe: owed to the next publish.
            s_.trace("no answer to the removal of " + name + ": it is owed to the next publish");
            OweCopy(key_, OwedCopy{copy.path});
            break;
        }
    }
    doomed_.clear();
}

void FolderSweep::readListing(const std::optional<qint64>& copyChanged) {
    listed_ = true;
    if (!asked_)
        asked_ = Clock().sinceBoot();
    QList<ListedEntry> entries;
    const PublishSession::Result result = s_.listing(folder_, base_, entries);
    const std::chrono::seconds limit = LongestSilence(timeouts_);
    // Copies that cannot be judged now are listed again once any live
    // publish would have renamed them; a server that lists nothing is asked
    // again as seldom.
    const qint64 again = Clock().sinceBoot() + 1000 * qint64(limit.count());
    if (result == PublishSession::Result::Refused) {
        FolderListed(key_, folder_ + base_, again);
        s_.trace("the server does not list the folder: only copies of this run are removed");
        return;
    }
    if (result != PublishSession::Result::Ok)
        return;
    // Now, by the server's clock: the copy just stored, or the list it has
    // just become (a rename keeps the time of the copy's last write).
    std::optional<ListedTime> now;
    if (copyChanged)
        now = ListedTime{*copyChanged - (Clock().sinceBoot() - *asked_ + 999) / 1000};
    else
        now = ListReferenceTime(entries, base_);
    if (!now) {
        const bool copies = std::any_of(entries.begin(), entries.end(), [&](const ListedEntry& e) {
            return IsCopyOf(e.name, base_);
        });
        FolderListed(key_, folder_ + base_, copies ? std::optional(again) : std::nullopt);
        if (copies)
            s_.trace("the listing does not tell when the list changed: no copy is judged by "
                     "age, and the folder is listed again later");
        return;
    }
    bool unjudged = false;
    // A young copy is judged again as soon as it may have turned old.
    qint64 soonest = limit.count();
    for (const CopyVerdict& verdict :
         JudgeCopies(entries, base_, *now, limit, Clock().calendar())) {
        const QString path = folder_ + QString::fromUtf8(verdict.name);
        if (path == ownCopy_)
            continue;
        if (verdict.remove) {
            doomed_ << Doomed{path, "unchanged for " + DescribeAge(*verdict.age)};
            continue;
        }
        unjudged = true;
        using Kept = CopyVerdict::Kept;
        if (verdict.kept == Kept::Young && verdict.age)
            soonest = std::clamp<qint64>(limit.count() - *verdict.age + 1, 1, soonest);
        const QByteArray why =
            verdict.kept == Kept::Young
                ? ", unchanged for " + DescribeAge(std::max<qint64>(verdict.age.value_or(0), 0)) +
                      ": a publish may still be writing it"
            : verdict.kept == Kept::DatedAhead
                ? QByteArray(": dated ahead of the server's now (another clock's)")
                : QByteArray(": the listing does not tell its age");
        s_.trace("left " + quoted(QString::fromUtf8(verdict.name)) + why +
                 "; the folder is listed again later");
    }
    FolderListed(key_, folder_ + base_,
                 unjudged ? std::optional(Clock().sinceBoot() + 1000 * soonest) : std::nullopt);
}
