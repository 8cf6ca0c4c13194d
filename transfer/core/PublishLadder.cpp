#include "PublishLadder.h"

#include "CloseSettler.h"
#include "DestinationTurn.h"
#include "FolderSweep.h"
#include "HeldSessions.h"
#include "LearntFacts.h"
#include "LocalFile.h"
#include "PublishSession.h"
#include "ResponseCodes.h"
#include "TransferLog.h"

#include <functional>
#include <memory>
#include <vector>

namespace {

using Result = PublishSession::Result;

QString describe(const RemoteFileFacts& facts) {
    QStringList parts;
    if (facts.mode)
        parts << QStringLiteral("mode %1").arg(*facts.mode, 4, 8, QLatin1Char('0'));
    if (!facts.owner.isEmpty())
        parts << QStringLiteral("owner %1").arg(facts.owner);
    if (!facts.group.isEmpty())
        parts << QStringLiteral("group %1").arg(facts.group);
    return parts.isEmpty() ? QStringLiteral("nothing told") : parts.join(QStringLiteral(", "));
}

using Step = PublishStep;

// One publish over a session of either engine, run from step to step.
class Ladder {
public:
    // `token`: what makes the publish's temporary names its own, the same
    // in every round of one publish, so that a round run again on a fresh
    // session takes over the name an earlier one may have opened.
    // `open`: a session of its own, for a rename the link broke.
    // `abort`: the publish's own flag, for a fresh session of its own.
    // `settle`: where a closed window's publish settles what it leaves.
    Ladder(PublishSession& session, const PublishJob& job, LocalFile& file,
           const DestinationKey& key, const QString& token, const SessionOpener& open,
           const std::atomic<bool>& abort, CloseSettler& settle)
        : s_(session), job_(job), file_(file), key_(key), token_(token), open_(open),
          abort_(abort), settle_(settle), facts_(RecallTarget(key, job.remoteFileName)),
          sweep_(session, key, job.timeouts) {}

    qint32 run();
    // What this publish found out, each fact on its own: applied where it
    // worked.
    void learn() const;

private:
    Step lookAtList();
    Step followLinks();
    Step putBackOwedList();
    Step storeCopy();
    Step matchFile();
    Step putInPlace();
    Step replaceAfterRemoval();
    Step finishOnFreshSession();
    Step storeInPlace();
    Step clearCopies();
    Step cleanUp();

    // What comes once the server told what the name is.
    Step afterLook() const;
    Step toRename();
    // Falls back to storing in place. `why` is said once per target where
    // this publish is the one that found it out; empty where a publish
    // before it did. `remember`: later publishes store in place from the
    // start.
    Step inPlace(const QString& why, bool remember = true);
    Step end(qint32 code) {
        code_ = code;
        return Step::End;
    }
    // Ends with the session's code for the failed request; `clean`: the
    // publish's own copy goes first.
    Step fail(bool clean = true) {
        code_ = s_.failureCode(file_);
        return clean ? Step::CleanUp : Step::End;
    }
    qint32 checked(const RemoteFileFacts& stored);
    PublishSession::Removal removeTemporary();
    // Whether the copy is still there: a refusal is only the server's where
    // it is; another publisher's sweep may have taken it.
    bool copyGone();
    // The copy, whole, onto the list's name on `other`, a session of its
    // own: after the list was removed and the rename did not follow.
    Result finishOn(PublishSession& other);
    bool fileKnown() const { return known_ && before_.exists; }
    void change(std::function<void(TargetFacts&)> fact) {
        fact(facts_);
        learnt_.push_back(std::move(fact));
    }

    PublishSession& s_;
    const PublishJob& job_;
    LocalFile& file_;
    const DestinationKey& key_;
    const QString& token_;
    const SessionOpener& open_;
    const std::atomic<bool>& abort_;
    CloseSettler& settle_;
    TargetFacts facts_; // as recalled, with this publish's changes
    std::vector<std::function<void(TargetFacts&)>> learnt_;
    FolderSweep sweep_;
    qint32 code_ = ResponseCodes::Ok;
    RemoteFileFacts before_; // the final file as the server had it
    bool known_ = false;     // before_ holds what the server told
    RemoteFileFacts stored_; // the copy just stored
    QString temporary_;      // the name holding our copy, unless it is the final one
    // The file the publish replaces: the name as typed, or the file a link
    // there leads to.
    QString final_ = job_.remoteFileName;
    QString inPlaceWhy_;
    bool rememberInPlace_ = true;
    // The list was removed to make way and the copy may be the only one of
    // it: from then on the copy is never removed.
    bool copyHoldsList_ = false;
};

// Links followed from the name to a file, at the most.
constexpr int MaxLinks = 8;

// `target` as a path from the log-in directory, for a link at `link`; empty
// where it cannot be told the same way the server's own system reads it:
// an absolute target (a server may show its files under another root than
// its system sees), or one that climbs out of the log-in directory.
QString linkedPath(const QString& link, const QString& target) {
    if (target.isEmpty() || target.startsWith(u'/') || link.startsWith(u'/'))
        return {};
    QStringList parts = RemoteFolderOf(link).split(u'/', Qt::SkipEmptyParts);
    for (const QString& part : target.split(u'/', Qt::SkipEmptyParts)) {
        if (part == u'.')
            continue;
        if (part != QLatin1String(".."))
            parts << part;
        else if (parts.isEmpty())
            return {};
        else
            parts.removeLast();
    }
    return parts.join(u'/');
}

qint32 Ladder::run() {
    for (Step step = Step::LookAtList; step != Step::End;) {
        s_.trace(QByteArray("step: ") + PublishStepNames[static_cast<int>(step)]);
        switch (step) {
        case Step::LookAtList: step = lookAtList(); break;
        case Step::FollowLinks: step = followLinks(); break;
        case Step::PutBackOwedList: step = putBackOwedList(); break;
        case Step::StoreCopy: step = storeCopy(); break;
        case Step::MatchFile: step = matchFile(); break;
        case Step::PutInPlace: step = putInPlace(); break;
        case Step::ReplaceAfterRemoval: step = replaceAfterRemoval(); break;
        case Step::FinishOnFreshSession: step = finishOnFreshSession(); break;
        case Step::StoreInPlace: step = storeInPlace(); break;
        case Step::ClearCopies: step = clearCopies(); break;
        case Step::CleanUp: step = cleanUp(); break;
        case Step::End: break;
        }
    }
    return code_;
}

// What the file is, so that the copy that replaces it can be the same; the
// copy, and the folder's listing, can be opened meanwhile.
Step Ladder::lookAtList() {
    const QString& finalName = job_.remoteFileName;
    const QString beside = facts_.linkedTo.isEmpty() ? finalName : facts_.linkedTo;
    sweep_.aim(beside, {});
    if (!facts_.storeInPlace.isEmpty()) {
        s_.trace("storing over the file in place, as learnt earlier: " +
                 facts_.storeInPlace.toUtf8());
        return inPlace({});
    }
    if (facts_.tellsNoFacts) {
        s_.trace("learnt earlier: the server tells nothing of a file, so it is not asked");
    } else {
        sweep_.openEarly();
        if (facts_.firstName != CopyName::Final)
            s_.expectStore(facts_.firstName == CopyName::Hidden ? TemporaryNameFor(beside, token_)
                                                 : VisibleTemporaryNameFor(beside, token_));
        switch (s_.stat(finalName, before_)) {
        case Result::Ok:
            known_ = true;
            break;
        case Result::Refused:
            change([](TargetFacts& f) { f.tellsNoFacts = true; });
            break;
        default:
            return fail(false);
        }
    }
    if (!facts_.linkedTo.isEmpty())
        change([](TargetFacts& f) { f.linkedTo.clear(); });
    if (fileKnown() && before_.kind != RemoteFileFacts::Kind::Regular)
        return Step::FollowLinks;
    return afterLook();
}

Step Ladder::afterLook() const {
    return known_ && !before_.exists ? Step::PutBackOwedList : Step::StoreCopy;
}

// Where the name is a link, the publish goes to the file it leads to, so
// that the link stays a link and every reader of that file gets the list:
// a copy beside that file, made to match it, then the rename onto it. Where
// the way there cannot be told, the bytes go through the link in place, as
// a plain store does. Never a link's or a folder's mode for the list: a
// folder, or anything else that cannot hold it, fails and changes nothing.
Step Ladder::followLinks() {
    using Kind = RemoteFileFacts::Kind;
    const auto throughLink = [this](const QString& why, bool remember = true) {
        known_ = false;
        final_ = job_.remoteFileName;
        return inPlace(why + QStringLiteral(": stored through the link in place, which keeps "
                                            "the link and its target's permissions"),
                       remember);
    };
    for (int links = 0; before_.kind == Kind::Link; ++links) {
        if (links == MaxLinks)
            return end(ResponseCodes::LinkLoop);
        const QString next = linkedPath(final_, before_.linkTarget);
        s_.trace(final_.toUtf8() + " is a link to \"" + before_.linkTarget.toUtf8() + '"');
        if (next.isEmpty())
            return throughLink(before_.linkTarget.isEmpty()
                                   ? QStringLiteral("the server does not tell where the link "
                                                    "leads")
                                   : QStringLiteral("the link leads outside what the log-in "
                                                    "names the same way"));
        RemoteFileFacts facts;
        switch (s_.stat(next, facts)) {
        case Result::Ok:
            break;
        case Result::Refused:
            return throughLink(QStringLiteral("the server does not show where the link leads"));
        default:
            return fail(false);
        }
        final_ = next;
        before_ = facts;
        // A link to no file yet: the file is made where it leads, as a
        // plain store through the link would, with the permissions the
        // server gives a new file.
        if (!facts.exists) {
            s_.trace("the link leads to no file yet: it is made at " + final_.toUtf8());
            change([this](TargetFacts& f) { f.linkedTo = final_; });
            return afterLook();
        }
    }
    if (before_.kind != Kind::Regular)
        return end(ResponseCodes::NotAFile);
    if (final_ != job_.remoteFileName)
        s_.trace("publishing onto " + final_.toUtf8() + ", where the link leads");
    change([this](TargetFacts& f) { f.linkedTo = final_; });
    return afterLook();
}

// The list is missing, and this run owes a whole copy of it that a broken
// link kept from its place: it goes there first, so that the list is back
// even where this publish fails.
Step Ladder::putBackOwedList() {
    const QString folder = RemoteFolderOf(final_);
    const QList<OwedCopy> owed = OwedCopiesIn(key_, folder);
    // The newest first: it holds the latest bytes.
    for (auto it = owed.crbegin(); it != owed.crend(); ++it) {
        const OwedCopy& copy = *it;
        // Owed copies of the folder are all named after a list; only this
        // one's can stand in for it.
        if (!copy.holdsTheList ||
            !IsCopyOf(copy.path.mid(folder.size()).toUtf8(), final_.mid(folder.size())))
            continue;
        switch (s_.rename(copy.path, final_)) {
        case Result::Ok:
            s_.trace("the list was missing: the whole copy " + copy.path.toUtf8() +
                     " that an earlier publish left is put in its place first");
            CopySettled(key_, copy.path);
            // What the server holds now is that copy: asked again, so that
            // the new one matches it.
            if (s_.stat(final_, before_) != Result::Ok)
                return fail(false);
            return Step::StoreCopy;
        case Result::Failed:
            return fail(false);
        default:
            break;
        }
    }
    return Step::StoreCopy;
}

// Stores the bytes under the safest name the server takes: a hidden
// temporary name; a visible one, for servers that refuse names beginning
// with a dot; the final name itself, as a plain store would, for servers
// that let a client replace that file and create nothing beside it. The
// next name is tried only when the server refused the last before any data
// went out.
Step Ladder::storeCopy() {
    if (!known_)
        s_.trace("the server tells nothing of the file's permissions: the copy keeps what the "
                 "server gives a new file");
    else if (before_.exists)
        s_.trace("the file has " + describe(before_).toUtf8());
    const std::optional<quint32> mode = fileKnown() ? before_.mode : std::nullopt;
    const auto nameOf = [this](CopyName name) {
        switch (name) {
        case CopyName::Hidden:
            return TemporaryNameFor(final_, token_);
        case CopyName::Visible:
            return VisibleTemporaryNameFor(final_, token_);
        case CopyName::Final:
            break;
        }
        return final_;
    };
    CopyName name = facts_.firstName;
    if (name != CopyName::Hidden)
        s_.trace("learnt earlier: the server refuses " +
                 QByteArray(name == CopyName::Visible ? "hidden names" : "any name beside the file") +
                 ", so the copy goes under " + nameOf(name).toUtf8());
    Result result = Result::NameRefused;
    for (int attempt = 0;; ++attempt) {
        if (!file_.rewind())
            return end(ResponseCodes::LocalFileUnreadable);
        const bool beside = name != CopyName::Final;
        temporary_ = beside ? nameOf(name) : QString();
        result = s_.store(nameOf(name), file_, attempt, beside ? mode : std::nullopt, stored_);
        if (result != Result::NameRefused || !beside)
            break;
        name = static_cast<CopyName>(static_cast<int>(name) + 1);
    }
    if (name != facts_.firstName)
        change([name](TargetFacts& f) { f.firstName = name; });
    if (result != Result::Ok) {
        // A refusal of the last name, or of the folder check, leaves
        // nothing behind; before the log-in went through there is nothing
        // to remove, and a second attempt would only double the wait on a
        // refused password.
        return fail(result == Result::Failed && s_.mayHaveStored());
    }
    sweep_.aim(final_, temporary_);
    if (const qint32 code = checked(stored_); code != ResponseCodes::Ok) {
        removeTemporary();
        return end(code);
    }
    if (temporary_.isEmpty())
        return Step::ClearCopies;
    return fileKnown() ? Step::MatchFile : toRename();
}

qint32 Ladder::checked(const RemoteFileFacts& stored) {
    if (job_.report) {
        job_.report->sentSize = file_.size();
        job_.report->storedSize = stored.size.value_or(-1);
    }
    if (file_.changed())
        return ResponseCodes::LocalFileChanged;
    if (stored.size && *stored.size != file_.size())
        return ResponseCodes::SizeMismatch;
    return ResponseCodes::Ok;
}

// Makes the copy what the file was before it takes the file's place: its
// permissions set where they differ; where they cannot be set, or the owner
// or group differs (nothing in FTP sets a group), the bytes go over the
// file in place instead, which keeps all three.
Step Ladder::matchFile() {
    const auto differs = [](const QString& was, const QString& is) {
        return !was.isEmpty() && !is.isEmpty() && was != is;
    };
    if (differs(before_.owner, stored_.owner) || differs(before_.group, stored_.group)) {
        return inPlace(QStringLiteral("the file belongs to %1:%2, a new file to %3:%4")
                           .arg(before_.owner, before_.group, stored_.owner, stored_.group));
    }
    if (!before_.mode || !stored_.mode || *before_.mode == *stored_.mode) {
        s_.trace(stored_.mode ? "the copy has the file's own permissions"
                              : "the copy's permissions are not told: left as they are");
        return toRename();
    }
    const QByteArray mode = QByteArray::number(*before_.mode, 8);
    switch (s_.setMode(temporary_, *before_.mode)) {
    case Result::Ok:
        s_.trace("the copy gets mode " + mode + " as the file had it");
        return toRename();
    case Result::Failed:
        return fail();
    default:
        if (copyGone())
            return fail(false);
        return inPlace(
            QStringLiteral("the server refuses to set permissions, and a new file gets %1, not %2")
                .arg(*stored_.mode, 4, 8, QLatin1Char('0'))
                .arg(*before_.mode, 4, 8, QLatin1Char('0')));
    }
}

Step Ladder::toRename() {
    sweep_.beforeRename(stored_.changed, fileKnown());
    return Step::PutInPlace;
}

Step Ladder::putInPlace() {
    if (facts_.removesToReplace && fileKnown()) {
        s_.trace("learnt earlier: the server renames only onto a free name");
        return Step::ReplaceAfterRemoval;
    }
    const Result result = s_.rename(temporary_, final_);
    // Only a file the server showed is ever removed to make way: where it
    // said there was none, what is there is something it does not show
    // (inetutils' ftpd shows a folder so, and removes it if empty).
    if (result == Result::TargetExists && known_ && !before_.exists) {
        return inPlace(QStringLiteral("the server holds something under the name that it does "
                                      "not show"),
                       false);
    }
    if (result == Result::TargetExists)
        return Step::ReplaceAfterRemoval;
    if (result == Result::Ok)
        return Step::ClearCopies;
    if (result == Result::Failed)
        return fail();
    if (copyGone())
        return fail(false);
    // No renames on this server: store under the final name, as a plain
    // store would, and drop the temporary copy.
    return inPlace(QStringLiteral("the server renames nothing onto the file"));
}

bool Ladder::copyGone() {
    RemoteFileFacts copy;
    if (s_.stat(temporary_, copy) != Result::Ok || copy.exists)
        return false;
    s_.trace("the copy " + temporary_.toUtf8() +
             " is gone: another publisher removed it, so the refusal teaches nothing");
    temporary_.clear();
    return true;
}

// The server renames only onto a free name: the list is removed, then the
// copy renamed onto its name. From the removal on, the copy may be the only
// one of the list, and is never removed: where the rename does not follow,
// it is finished on a fresh session, or left for the next publish, which
// puts it in place first.
Step Ladder::replaceAfterRemoval() {
    for (int attempt = 0; attempt < AnotherPublisherFirstTries; ++attempt) {
        bool listRemoved = true;
        const Result result = s_.removeThenRename(temporary_, final_, listRemoved);
        copyHoldsList_ = copyHoldsList_ || listRemoved;
        if (result == Result::Ok) {
            copyHoldsList_ = false;
            if (!facts_.removesToReplace)
                change([](TargetFacts& f) { f.removesToReplace = true; });
            return Step::ClearCopies;
        }
        if (result == Result::Failed)
            return copyHoldsList_ ? Step::FinishOnFreshSession : fail();
        if (!listRemoved)
            return inPlace(QStringLiteral("the server renames nothing onto the file"));
        // The list is gone: where the copy went too, the bytes go straight
        // to the list's name, so that there is one.
        if (copyGone()) {
            copyHoldsList_ = false;
            return inPlace(QStringLiteral("the copy was removed by another publisher"), false);
        }
        s_.trace("the list was removed, and the rename onto its name refused: another "
                 "publisher's file came first; once more");
    }
    return inPlace(QStringLiteral("the rename onto the list's name keeps being refused once it "
                                  "is removed"),
                   false);
}

// The copy holds the list, whose name may be free: it goes there on a fresh
// session, or on the settling one where the window closed; where neither
// can, the next publish of the run puts it there first.
Step Ladder::finishOnFreshSession() {
    const qint32 code = s_.failureCode(file_);
    Result result = Result::Failed;
    if (!s_.aborted()) {
        s_.trace("the connection broke after the list was removed to make way: the copy is put "
                 "in its place on a fresh session");
        if (std::unique_ptr<PublishSession> other = open_(true, job_, abort_))
            result = finishOn(*other);
    }
    if (result != Result::Ok && s_.aborted()) {
        s_.trace("the window closed after the list was removed to make way: the copy is put in "
                 "its place before the program ends");
        if (PublishSession* other = settle_.session())
            result = finishOn(*other);
    }
    if (result == Result::Ok) {
        s_.trace("the copy is in the list's place");
        copyHoldsList_ = false;
        return end(ResponseCodes::Ok);
    }
    if (result == Result::TargetExists) {
        s_.trace("another publisher's list is in place: the copy is removed");
        copyHoldsList_ = false;
        return end(code);
    }
    s_.trace("the copy could not be put in place: the next publish puts it there first");
    OweCopy(key_, OwedCopy{temporary_, true});
    return end(code);
}

Result Ladder::finishOn(PublishSession& other) {
    RemoteFileFacts copy;
    Result result = other.stat(temporary_, copy);
    // The rename may have landed before the connection broke.
    if (result == Result::Ok && !copy.exists) {
        RemoteFileFacts list;
        result = other.stat(final_, list);
        return result == Result::Ok && list.exists ? Result::Ok : Result::Failed;
    }
    if (result != Result::Ok && result != Result::Refused)
        return result;
    result = other.rename(temporary_, final_);
    bool listRemoved = true;
    if (result == Result::TargetExists)
        result = other.removeThenRename(temporary_, final_, listRemoved);
    // Refused once the list was removed again: another publisher's list
    // came first, and the copy no longer holds the only one.
    if (result == Result::Refused && listRemoved) {
        other.remove(temporary_);
        return Result::TargetExists;
    }
    return result;
}

Step Ladder::inPlace(const QString& why, bool remember) {
    inPlaceWhy_ = why;
    rememberInPlace_ = remember;
    return Step::StoreInPlace;
}

// The bytes go straight over the final file.
Step Ladder::storeInPlace() {
    const QString& why = inPlaceWhy_;
    if (!why.isEmpty()) {
        s_.trace("storing over the file in place: " + why.toUtf8());
        if (FirstTimeTold("in place " + key_.account() + '\0' + job_.remoteFileName.toUtf8()))
            qCInfo(lcTransfer).noquote()
                << "publishing to" << FormUrl(job_.endpoint) + job_.remoteFileName
                << "by storing over the file in place:" << why;
    }
    qint32 code = ResponseCodes::Ok;
    RemoteFileFacts stored;
    if (!file_.rewind()) {
        code = ResponseCodes::LocalFileUnreadable;
    } else {
        const Result result = s_.store(final_, file_, 0, std::nullopt, stored);
        code = result == Result::Ok ? checked(stored) : s_.failureCode(file_);
    }
    // Where the list was removed for the copy, the copy holds it until the
    // list is back: it goes there, or is owed as the list.
    if (code != ResponseCodes::Ok && copyHoldsList_)
        return Step::FinishOnFreshSession;
    copyHoldsList_ = false;
    using Removal = PublishSession::Removal;
    const Removal removal = removeTemporary();
    const QString copy = std::exchange(temporary_, QString());
    // A server that keeps every copy it is sent beside the file, or one
    // whose copies cannot keep the file as it was, is stored over from now
    // on; not where the copy was gone already, which another publisher
    // took and the refusal came of.
    if (code == ResponseCodes::Ok && !why.isEmpty() && rememberInPlace_ &&
        removal != Removal::NotThere) {
        change([inPlace = removal == Removal::Removed ? why
                                                      : QStringLiteral("the server keeps every copy")](
                   TargetFacts& f) { f.storeInPlace = inPlace; });
    }
    if (code != ResponseCodes::Ok)
        return end(code);
    // A copy whose removal was refused just now is not asked again here.
    sweep_.skip(copy);
    return Step::ClearCopies;
}

// The list is in place: what copies the folder holds of this run's and of
// runs that ended go.
Step Ladder::clearCopies() {
    sweep_.afterPublish(stored_.changed);
    return end(ResponseCodes::Ok);
}

Step Ladder::cleanUp() {
    removeTemporary();
    return Step::End;
}

// A copy this publish made and could not see removed is owed to the next
// publish that reaches its folder; where the window closed, it is removed
// on the settling session first.
PublishSession::Removal Ladder::removeTemporary() {
    using Removal = PublishSession::Removal;
    if (temporary_.isEmpty())
        return Removal::NotThere;
    Removal removal = s_.aborted() ? Removal::NoAnswer : s_.remove(temporary_);
    if (removal == Removal::NoAnswer && s_.aborted())
        removal = settle_.remove(temporary_);
    if (removal == Removal::Removed || removal == Removal::NotThere)
        return removal;
    OweCopy(key_, OwedCopy{temporary_});
    if (s_.aborted())
        s_.trace("cut short: " + temporary_.toUtf8() + " is owed to the next publish");
    return removal;
}

void Ladder::learn() const {
    LearnTarget(key_, job_.remoteFileName, [this](TargetFacts& f) {
        for (const auto& fact : learnt_)
            fact(f);
    });
}

} // namespace

qint32 PublishOver(const PublishJob& job, const std::atomic<bool>& abort,
                   const SessionOpener& open) {
    if (HasUnsafeText(job))
        return ResponseCodes::UnsafeText;
    LocalFile file;
    if (!file.open(job.localFileName)) {
        if (job.report)
            job.report->localErrno = file.error();
        return ResponseCodes::LocalFileUnreadable;
    }
    const DestinationKey key = KeyFor(job);
    // One publish at a time per host, whatever the account or the name:
    // two names may lead to one file (a link), and a password edited
    // meanwhile is still the same folder.
    const DestinationTurn turn(job.endpoint.host.toCaseFolded().toUtf8(), abort);
    if (!turn.taken())
        return ResponseCodes::Aborted;
    const QString token = NewCopyToken();
    qint32 code = ResponseCodes::Ok;
    // A held session that the server or the network ended, or one that
    // cannot carry this publish, before any byte went out costs no failed
    // upload: the publish runs again at once on a fresh session, once more
    // where that one learnt that the server refuses TLS 1.2.
    constexpr int Rounds = 3;
    CloseSettler settle(job, open);
    for (int round = 0; round < Rounds; ++round) {
        std::unique_ptr<PublishSession> session = open(round > 0, job, abort);
        if (!session)
            return ResponseCodes::NoSession;
        Ladder ladder(*session, job, file, key, token, open, abort, settle);
        code = ladder.run();
        for (const QString& copy : session->uncertainCopies()) {
            const PublishSession::Removal removal =
                abort ? settle.remove(copy) : PublishSession::Removal::NoAnswer;
            if (removal != PublishSession::Removal::Removed &&
                removal != PublishSession::Removal::NotThere)
                OweCopy(key, OwedCopy{copy});
        }
        if (code == ResponseCodes::Ok) {
            ladder.learn();
            // Held under the TLS it ended up with, which is what the next
            // publish that may use it asks for.
            const SessionTls tls = session->tls();
            if (std::unique_ptr<Connection> connection = session->release())
                HoldSession(WithTls(key, tls), std::move(connection));
            break;
        }
        session->learnFromFailure();
        const PublishSession::RunAgain again = session->runAgain();
        if (round == Rounds - 1 || again == PublishSession::RunAgain::No) {
            ForgetAfterFailure(key, job.remoteFileName);
            break;
        }
        session->trace(again == PublishSession::RunAgain::Tls12Refused
                           ? "the server refuses TLS 1.2: publishing again without the cap"
                           : "the held session had ended: publishing on a fresh one");
        if (job.report)
            *job.report = {};
        if (!file.rewind())
            return ResponseCodes::LocalFileUnreadable;
    }
    return code;
}
