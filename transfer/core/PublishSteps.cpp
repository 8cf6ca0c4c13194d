#include "PublishSteps.h"

#include "TransferLog.h"

#include <optional>

using Result = PublishSession::Result;
using Step = PublishStep;

namespace {

QString describe(const FileStatus& status) {
    QStringList parts;
    if (status.mode)
        parts << QStringLiteral("mode %1").arg(*status.mode, 4, 8, QLatin1Char('0'));
    if (!status.owner.isEmpty())
        parts << QStringLiteral("owner %1").arg(status.owner);
    if (!status.group.isEmpty())
        parts << QStringLiteral("group %1").arg(status.group);
    return parts.isEmpty() ? QStringLiteral("nothing told") : parts.join(QStringLiteral(", "));
}

// Symlinks followed from the name to a file, at the most.
constexpr int MaxSymlinks = 8;

// `target` as a path from the log-in directory, for a symlink at `link`; empty
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

} // namespace

qint32 PublishSteps::run() {
    for (NextStep next{Step::StatList}; next.step != Step::End;) {
        s_.trace(QByteArray("step: ") + NameOf(next.step));
        switch (next.step) {
        case Step::StatList: next = statList(); break;
        case Step::FollowSymlinks: next = followSymlinks(); break;
        case Step::PutBackOwedList: next = putBackOwedList(); break;
        case Step::StoreCopy: next = storeCopy(); break;
        case Step::MatchFile: next = matchFile(); break;
        case Step::PutInPlace: next = putInPlace(); break;
        case Step::ReplaceAfterRemoval: next = replaceAfterRemoval(); break;
        case Step::FinishOnFreshSession: next = finishOnFreshSession(); break;
        case Step::StoreInPlace: next = storeInPlace(next); break;
        case Step::ClearCopies: next = clearCopies(); break;
        case Step::CleanUp: next = cleanUp(next); break;
        default: next = {Step::End}; break; // the states around the steps: PublishOver's
        }
    }
    return code_;
}

// What the file is, so that the copy that replaces it can be the same; the
// copy, and the folder's listing, can be opened meanwhile.
NextStep PublishSteps::statList() {
    const QString& finalName = job_.remoteFileName;
    const QString beside = learnt_.symlinkTo.isEmpty() ? finalName : learnt_.symlinkTo;
    sweep_.aim(beside, {});
    if (!learnt_.storeInPlace.isEmpty()) {
        s_.trace("storing over the file in place, as learnt earlier: " +
                 learnt_.storeInPlace.toUtf8());
        return inPlace({});
    }
    if (learnt_.tellsNoStatus) {
        s_.trace("learnt earlier: the server tells nothing of a file, so it is not asked");
    } else {
        if (learnt_.firstName != CopyName::Final)
            ahead_.copy = learnt_.firstName == CopyName::Hidden
                              ? TemporaryNameFor(beside, token_)
                              : VisibleTemporaryNameFor(beside, token_);
        s_.plan(ahead_);
        sweep_.openEarly();
        switch (s_.stat(finalName, before_)) {
        case Result::Ok:
            told_ = true;
            break;
        case Result::Refused:
            change([](TargetLearnt& f) { f.tellsNoStatus = true; });
            break;
        default:
            return fail();
        }
    }
    if (!learnt_.symlinkTo.isEmpty())
        change([](TargetLearnt& f) { f.symlinkTo.clear(); });
    if (listThere() && before_.kind != FileStatus::Kind::Regular)
        return {Step::FollowSymlinks};
    return {afterStatus()};
}

Step PublishSteps::afterStatus() const {
    return told_ && !before_.exists ? Step::PutBackOwedList : Step::StoreCopy;
}

// Where the name is a symlink, the publish goes to the file it leads to,
// so that the symlink stays one and every reader of that file gets the
// list: a copy beside that file, made to match it, then the rename onto it.
// Where the way there cannot be told, the bytes go through the symlink in
// place, as a plain store does. Never a symlink's or a folder's mode for the
// list: a folder, or anything else that cannot hold it, fails and changes
// nothing.
NextStep PublishSteps::followSymlinks() {
    using Kind = FileStatus::Kind;
    // Stored through the symlink: the file replaced is the name as typed,
    // whose own status is not the file's it leads to.
    const auto throughSymlink = [this](const QString& why, bool remember = true) {
        told_ = false;
        final_ = job_.remoteFileName;
        return inPlace(why + QStringLiteral(": stored through the symlink in place, which keeps "
                                            "the symlink and its target's permissions"),
                       remember);
    };
    for (int hops = 0; before_.kind == Kind::Symlink; ++hops) {
        if (hops == MaxSymlinks)
            return end(ResponseCodes::SymlinkLoop);
        const QString next = linkedPath(final_, before_.symlinkTarget);
        s_.trace(final_.toUtf8() + " is a symlink to \"" + before_.symlinkTarget.toUtf8() + '"');
        if (next.isEmpty())
            return throughSymlink(before_.symlinkTarget.isEmpty()
                                      ? QStringLiteral("the server does not tell where the "
                                                       "symlink leads")
                                      : QStringLiteral("the symlink leads outside what the "
                                                       "log-in names the same way"));
        FileStatus status;
        switch (s_.stat(next, status)) {
        case Result::Ok:
            break;
        case Result::Refused:
            return throughSymlink(
                QStringLiteral("the server does not show where the symlink leads"));
        default:
            return fail();
        }
        final_ = next;
        before_ = status;
        // A symlink to no file yet: the file is made where it leads, as a
        // plain store through it would, with the permissions the server
        // gives a new file.
        if (!status.exists) {
            s_.trace("the symlink leads to no file yet: it is made at " + final_.toUtf8());
            change([this](TargetLearnt& f) { f.symlinkTo = final_; });
            return {afterStatus()};
        }
    }
    if (before_.kind != Kind::Regular)
        return end(ResponseCodes::NotAFile);
    if (final_ != job_.remoteFileName)
        s_.trace("publishing onto " + final_.toUtf8() + ", where the symlink leads");
    change([this](TargetLearnt& f) { f.symlinkTo = final_; });
    return {afterStatus()};
}

// The list is missing, and this run owes a whole copy of it that a broken
// link kept from its place: it goes there first, so that the list is back
// even where this publish fails.
NextStep PublishSteps::putBackOwedList() {
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
                return fail();
            return {Step::StoreCopy};
        case Result::Failed:
            return fail();
        default:
            break;
        }
    }
    return {Step::StoreCopy};
}

// Stores the bytes under the safest name the server takes: a hidden
// temporary name; a visible one, for servers that refuse names beginning
// with a dot; the final name itself, as a plain store would, for servers
// that let a client replace that file and create nothing beside it. The
// next name is tried only when the server refused the last before any data
// went out.
NextStep PublishSteps::storeCopy() {
    if (!told_)
        s_.trace("the server tells nothing of the file's permissions: the copy keeps what the "
                 "server gives a new file");
    else if (before_.exists)
        s_.trace("the file has " + describe(before_).toUtf8());
    const std::optional<quint32> mode = listThere() ? before_.mode : std::nullopt;
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
    CopyName name = learnt_.firstName;
    if (name != CopyName::Hidden)
        s_.trace("learnt earlier: the server refuses " +
                 QByteArray(name == CopyName::Visible ? "hidden names" : "any name beside the file") +
                 ", so the copy goes under " + nameOf(name).toUtf8());
    Result result = Result::NameRefused;
    for (;;) {
        if (!file_.rewind())
            return end(ResponseCodes::LocalFileUnreadable);
        const bool beside = name != CopyName::Final;
        temporary_ = beside ? nameOf(name) : QString();
        result = s_.store(nameOf(name), file_, beside ? mode : std::nullopt, stored_);
        if (result != Result::NameRefused || !beside)
            break;
        name = static_cast<CopyName>(static_cast<int>(name) + 1);
    }
    if (name != learnt_.firstName)
        change([name](TargetLearnt& f) { f.firstName = name; });
    if (result != Result::Ok) {
        // A refusal of the last name, or of the folder check, leaves
        // nothing behind; before the log-in went through there is nothing
        // to remove, and a second attempt would only double the wait on a
        // refused password.
        if (result != Result::Failed || !s_.mayHaveStored())
            temporary_.clear();
        return fail();
    }
    sweep_.aim(final_, temporary_);
    if (const qint32 code = checked(stored_); code != ResponseCodes::Ok)
        return end(code);
    if (temporary_.isEmpty())
        return listInPlace();
    return listThere() ? NextStep{Step::MatchFile} : toRename();
}

qint32 PublishSteps::checked(const FileStatus& stored) {
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
NextStep PublishSteps::matchFile() {
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
            return fail();
        return inPlace(
            QStringLiteral("the server refuses to set permissions, and a new file gets %1, not %2")
                .arg(*stored_.mode, 4, 8, QLatin1Char('0'))
                .arg(*before_.mode, 4, 8, QLatin1Char('0')));
    }
}

NextStep PublishSteps::toRename() {
    sweep_.beforeRename(stored_.changed, listThere());
    return {Step::PutInPlace};
}

NextStep PublishSteps::putInPlace() {
    if (learnt_.removesToReplace && listThere()) {
        s_.trace("learnt earlier: the server renames only onto a free name");
        return {Step::ReplaceAfterRemoval};
    }
    const Result result = s_.rename(temporary_, final_);
    // Only a file the server showed is ever removed to make way: where it
    // said there was none, what is there is something it does not show
    // (inetutils' ftpd shows a folder so, and removes it if empty).
    if (result == Result::TargetExists && told_ && !before_.exists) {
        return inPlace(QStringLiteral("the server holds something under the name that it does "
                                      "not show"),
                       false);
    }
    if (result == Result::TargetExists)
        return {Step::ReplaceAfterRemoval};
    if (result == Result::Ok) {
        temporary_.clear();
        return listInPlace();
    }
    if (result == Result::Failed)
        return fail();
    if (copyGone())
        return fail();
    // No renames on this server: store under the final name, as a plain
    // store would, and drop the temporary copy.
    return inPlace(QStringLiteral("the server renames nothing onto the file"));
}

bool PublishSteps::copyGone() {
    FileStatus copy;
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
NextStep PublishSteps::replaceAfterRemoval() {
    for (int attempt = 0; attempt < AnotherPublisherFirstTries; ++attempt) {
        bool listRemoved = true;
        const Result result = s_.removeThenRename(temporary_, final_, listRemoved);
        copyHoldsList_ = copyHoldsList_ || listRemoved;
        if (result == Result::Ok) {
            copyHoldsList_ = false;
            temporary_.clear();
            if (!learnt_.removesToReplace)
                change([](TargetLearnt& f) { f.removesToReplace = true; });
            return listInPlace();
        }
        if (result == Result::Failed)
            return copyHoldsList_ ? NextStep{Step::FinishOnFreshSession} : fail();
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
NextStep PublishSteps::finishOnFreshSession() {
    const qint32 code = code_ != ResponseCodes::Ok ? code_ : s_.failureCode(file_);
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
        temporary_.clear();
        return end(ResponseCodes::Ok);
    }
    if (result == Result::TargetExists) {
        s_.trace("another publisher's list is in place: the copy is removed");
        copyHoldsList_ = false;
        temporary_.clear();
        return end(code);
    }
    // The clean-up owes it, as the list, to the next publish.
    return end(code);
}

Result PublishSteps::finishOn(PublishSession& other) {
    FileStatus copy;
    Result result = other.stat(temporary_, copy);
    // The rename may have landed before the connection broke.
    if (result == Result::Ok && !copy.exists) {
        FileStatus list;
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

// The bytes go straight over the final file.
NextStep PublishSteps::storeInPlace(const NextStep& why) {
    if (!why.inPlaceWhy.isEmpty()) {
        s_.trace("storing over the file in place: " + why.inPlaceWhy.toUtf8());
        if (FirstTimeTold("in place " + key_.account() + '\0' + job_.remoteFileName.toUtf8()))
            qCInfo(lcTransfer).noquote()
                << "publishing to" << FormUrl(job_.endpoint) + job_.remoteFileName
                << "by storing over the file in place:" << why.inPlaceWhy;
    }
    FileStatus stored;
    if (!file_.rewind()) {
        code_ = ResponseCodes::LocalFileUnreadable;
    } else {
        const Result result = s_.store(final_, file_, std::nullopt, stored);
        code_ = result == Result::Ok ? checked(stored) : s_.failureCode(file_);
    }
    // Where the list was removed for the copy, the copy holds it until the
    // list is back: it goes there, or is owed as the list.
    if (code_ != ResponseCodes::Ok && copyHoldsList_)
        return {Step::FinishOnFreshSession};
    copyHoldsList_ = false;
    return {Step::CleanUp, why.inPlaceWhy, why.rememberInPlace, code_ == ResponseCodes::Ok};
}

// The list is in place: what copies the folder holds of this run's and of
// runs that ended go.
NextStep PublishSteps::clearCopies() {
    sweep_.afterPublish(stored_.changed);
    return {Step::End};
}

// Every way through a publish ends here: the copy it made and could not
// see removed, and any its engine made ahead of a store, are owed to the
// next publish that reaches their folder; where the window closed, they are
// removed on the settling session first. A copy that holds the list is
// owed as the list. Where the list is in place on this session, the
// folder's copies go next.
NextStep PublishSteps::cleanUp(const NextStep& why) {
    using Removal = PublishSession::Removal;
    const auto removeOrOwe = [this](const QString& copy, bool holdsList) {
        if (holdsList) {
            s_.trace("the copy could not be put in place: the next publish puts it there first");
            OweCopy(key_, OwedCopy{copy, true});
            return Removal::Refused;
        }
        Removal removal = s_.aborted() ? Removal::NoAnswer : s_.remove(copy);
        if (removal == Removal::NoAnswer && s_.aborted())
            removal = settle_.remove(copy);
        if (removal == Removal::Removed || removal == Removal::NotThere)
            return removal;
        OweCopy(key_, OwedCopy{copy});
        if (s_.aborted())
            s_.trace("cut short: " + copy.toUtf8() + " is owed to the next publish");
        return removal;
    };
    const QString copy = std::exchange(temporary_, QString());
    const Removal removal = copy.isEmpty() ? Removal::NotThere
                                           : removeOrOwe(copy, std::exchange(copyHoldsList_, false));
    for (const QString& ahead : s_.uncertainCopies()) {
        const Removal settled = s_.aborted() ? settle_.remove(ahead) : Removal::NoAnswer;
        if (settled != Removal::Removed && settled != Removal::NotThere)
            OweCopy(key_, OwedCopy{ahead});
    }
    if (code_ != ResponseCodes::Ok || !why.listInPlace)
        return {Step::End};
    // A server that keeps every copy it is sent beside the file, or one
    // whose copies cannot keep the file as it was, is stored over from now
    // on; not where the copy was gone already, which another publisher
    // took and the refusal came of.
    if (!why.inPlaceWhy.isEmpty() && why.rememberInPlace && !copy.isEmpty() &&
        removal != Removal::NotThere) {
        change([inPlace = removal == Removal::Removed
                              ? why.inPlaceWhy
                              : QStringLiteral("the server keeps every copy")](TargetLearnt& f) {
            f.storeInPlace = inPlace;
        });
    }
    // A copy whose removal was refused just now is not asked again there.
    sweep_.skip(copy);
    return {Step::ClearCopies};
}

void PublishSteps::learn() const {
    LearnTarget(key_, job_.remoteFileName, [this](TargetLearnt& f) {
        for (const auto& fact : changes_)
            fact(f);
    });
}
