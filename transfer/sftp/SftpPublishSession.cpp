#include "SftpPublishSession.h"

#include "LocalFile.h"
#include "LogText.h"
#include "ResponseCodes.h"

#include <cerrno>
#include <utility>

namespace {

using Result = PublishSession::Result;

} // namespace

SftpPublishSession::SftpPublishSession(const PublishJob& job, const std::atomic<bool>& abort,
                                       std::unique_ptr<SshConnection> held)
    : job_(job), abort_(abort), report_(job.report ? job.report : &ownReport_),
      held_(held != nullptr), logIn_(job, abort, trace_, *report_),
      connection_(held ? std::move(held) : std::make_unique<SshConnection>()),
      folder_([this] { return client(); }, [this](quint32 id) { return answer(id); }, trace_,
              job.timeouts.listing),
      loginTried_(held_) {
    AttachSsh(*connection_, trace_, abort_);
    if (held_)
        trace_.note("going on with the session of an earlier upload: no new log-in");
}

SftpPublishSession::~SftpPublishSession() {
    if (folder_.openAhead() && !aborted() && alive())
        discardEarlyOpen();
}

void SftpPublishSession::discardEarlyOpen() {
    cleanup_ = true;
    if (!folder_.discardOpen())
        sawError_ = true;
    cleanup_ = false;
}

std::unique_ptr<Connection> SftpPublishSession::release() {
    // A session that saw any failure is closed, never held: a reply that
    // timed out may still arrive, and would answer the next request.
    if (sawError_ || aborted() || !alive() || !folder_.settle())
        return nullptr;
    connection_->notePeer();
    connection_->detach();
    return std::move(connection_);
}

std::chrono::milliseconds SftpPublishSession::replyLimit() const {
    return ReplyWait(job_.timeouts, held_ && !answered_, cleanup_);
}

bool SftpPublishSession::connect() {
    // A channel that is up goes on; a request finds out, in ssh's own
    // words, if ssh has gone meanwhile.
    if (client() && client()->connected() && client()->error() == SftpClient::Error::None)
        return true;
    if (loginTried_)
        return false;
    loginTried_ = true;
    failure_ = logIn_.run(*connection_);
    if (failure_ != 0)
        sawError_ = true;
    return failure_ == 0;
}

std::optional<Sftp::Reply> SftpPublishSession::answer(quint32 id) {
    auto reply = client()->reply(id, replyLimit());
    if (reply)
        answered_ = true;
    return reply;
}

Result SftpPublishSession::status(const std::optional<Sftp::Reply>& reply,
                                  const QByteArray& action) {
    if (!reply)
        return broken(action);
    return reply->ok() ? Result::Ok : refused(*reply, action);
}

void SftpPublishSession::closeHandle(const QByteArray& handle) {
    answer(client()->close(handle));
}

Result SftpPublishSession::refused(const Sftp::Reply& reply, const QByteArray& action) {
    report_->action = action;
    report_->replyCode = 0;
    report_->serverReply = Sftp::StatusName(reply.code) +
                           (reply.message.isEmpty() ? QByteArray() : ": " + reply.message);
    fail(reply.code == Sftp::NoSuchFile ? SshFailure::NoSuchFile : SshFailure::Refused);
    return Result::Refused;
}

Result SftpPublishSession::broken(const QByteArray& action) {
    report_->action = action;
    sawError_ = true;
    failedUnused_ = held_ && !bytesSent_ && !aborted();
    switch (client() ? client()->error() : SftpClient::Error::Closed) {
    case SftpClient::Error::Aborted:
        // Replies may still be on their way: the channel is of no more use.
        ssh().stop();
        failure_ = ResponseCodes::Aborted;
        break;
    case SftpClient::Error::Timeout:
        fail(action.startsWith("WRITE ") ? SshFailure::Stalled : SshFailure::NoReply);
        break;
    case SftpClient::Error::Protocol:
        fail(SshFailure::Garbled);
        break;
    default:
        fail(SshFailure::ConnectionLost);
        // ssh's last words say why, once it has ended.
        ssh().stop();
        SftpFailureIn(report_->engine).sshSaid =
            MaskSecret(ReadSshErrors(ssh().errorLines()).line, job_.password.toUtf8());
        break;
    }
    return Result::Failed;
}

Result SftpPublishSession::stat(const QString& path, FileStatus& status) {
    status = {};
    if (!connect())
        return Result::Failed;
    const QByteArray name = path.toUtf8();
    // Where the name is a symlink, its target comes in the same round trip;
    // a regular file's READLINK is refused, and costs no wait of its own.
    const quint32 statId = client()->lstat(name);
    const quint32 linkId = client()->readlink(name);
    folder_.sendExpected();
    const auto r = answer(statId);
    const auto link = r ? answer(linkId) : std::nullopt;
    if (!r || !link)
        return broken("LSTAT " + name);
    if (r->type == Sftp::Status && r->code == Sftp::NoSuchFile)
        return Result::Ok;
    if (r->type != Sftp::Attrs)
        return refused(*r, "LSTAT " + name);
    TakeStatus(r->attrs, *link, status);
    return Result::Ok;
}

Result SftpPublishSession::store(const QString& path, LocalFile& file,
                                 std::optional<quint32> mode, FileStatus& stored) {
    stored = {};
    mayHaveStored_ = false;
    if (!connect())
        return Result::Failed;
    const QByteArray action = "WRITE " + path.toUtf8();
    if (!file.rewind()) {
        failure_ = ResponseCodes::LocalFileUnreadable;
        report_->localErrno = errno;
        sawError_ = true;
        return Result::Failed;
    }
    trace_.note("store \"" + path.toUtf8() + "\" (name " + QByteArray::number(++names_) + ")");
    const std::optional<Sftp::Reply> r = openCopy(path);
    if (!r)
        return broken(action);
    if (r->type != Sftp::Handle) {
        refused(*r, action);
        const bool byName = r->type == Sftp::Status &&
                            (r->code == Sftp::PermissionDenied || r->code == Sftp::Failure);
        return byName ? Result::NameRefused : Result::Failed;
    }
    mayHaveStored_ = true;
    const QByteArray handle = r->handle;
    folder_.readAhead();
    Sftp::Reply refusal;
    std::deque<quint32> writes;
    const bool written = client()->write(handle, file, job_.timeouts.stall, refusal, &writes);
    if (file.sent() > 0)
        bytesSent_ = true;
    if (!written)
        return writeFailed(handle, file, refusal, action);
    return closeCopy(handle, mode, writes, refusal, action, stored);
}

std::optional<Sftp::Reply> SftpPublishSession::openCopy(const QString& path) {
    if (const auto ahead = folder_.takeOpen(path))
        return answer(*ahead);
    discardEarlyOpen();
    return answer(client()->open(path.toUtf8()));
}

Result SftpPublishSession::writeFailed(const QByteArray& handle, const LocalFile& file,
                                       const Sftp::Reply& refusal, const QByteArray& action) {
    if (client()->readFailed()) {
        report_->localErrno = file.error();
        failure_ =
            file.readError() ? ResponseCodes::LocalFileUnreadable : ResponseCodes::LocalFileChanged;
        sawError_ = true;
    } else if (client()->error() != SftpClient::Error::None) {
        return broken(action);
    } else {
        refused(refusal, action);
    }
    closeHandle(handle);
    return Result::Failed;
}

// The closing requests go in the same flight as the last writes: set the
// mode the copy is to have, flush to disk where the server can, learn what
// arrived, close. Only then is anything waited for.
Result SftpPublishSession::closeCopy(const QByteArray& handle, std::optional<quint32> mode,
                                     const std::deque<quint32>& writes, Sftp::Reply refusal,
                                     const QByteArray& action, FileStatus& stored) {
    std::optional<quint32> setId, syncId;
    if (mode)
        setId = client()->setModeOpen(handle, *mode);
    if (client()->extensions().fsync)
        syncId = client()->fsync(handle);
    const quint32 statId = client()->fstat(handle);
    const quint32 closeId = client()->close(handle);
    for (const quint32 id : writes) {
        const auto w = client()->reply(id, job_.timeouts.stall);
        if (!w)
            return broken(action);
        if (!w->ok() && refusal.type == 0)
            refusal = *w;
    }
    // A refused mode or flush does not fail the store: the status tells.
    for (const auto id : {setId, syncId}) {
        if (id && !answer(*id))
            return broken(action);
    }
    const auto told = answer(statId);
    const auto closed = answer(closeId);
    if (!told || !closed)
        return broken(action);
    if (refusal.type != 0 || !closed->ok()) {
        refused(refusal.type != 0 ? refusal : *closed, action);
        return Result::Failed;
    }
    stored.exists = true;
    if (told->type == Sftp::Attrs)
        TakeAttrs(told->attrs, stored);
    return Result::Ok;
}

Result SftpPublishSession::setMode(const QString& path, quint32 mode) {
    if (!connect())
        return Result::Failed;
    const QByteArray name = path.toUtf8();
    return status(answer(client()->setMode(name, mode)), "SETSTAT " + name);
}

Result SftpPublishSession::rename(const QString& from, const QString& to) {
    if (!connect())
        return Result::Failed;
    const QByteArray source = from.toUtf8(), target = to.toUtf8();
    const QByteArray action = "RENAME " + source + ' ' + target;
    if (client()->extensions().posixRename) {
        const quint32 id = client()->posixRename(source, target);
        folder_.sendRemovals();
        const auto r = answer(id);
        if (!r)
            return broken(action);
        if (r->ok())
            return Result::Ok;
        // A server may announce it and still refuse it (internal-sftp -P):
        // the plain rename follows.
        const bool unsupported = r->type == Sftp::Status && (r->code == Sftp::PermissionDenied ||
                                                             r->code == Sftp::OpUnsupported);
        if (!unsupported)
            return refused(*r, action);
    }
    const quint32 id = client()->rename(source, target);
    folder_.sendRemovals();
    const auto r = answer(id);
    const Result result = status(r, action);
    if (result != Result::Refused || r->type != Sftp::Status || r->code != Sftp::Failure)
        return result;
    // OpenSSH renames by link(): onto an existing file it fails.
    const auto exists = answer(client()->lstat(target));
    if (!exists)
        return broken(action);
    return exists->type == Sftp::Attrs ? Result::TargetExists : result;
}

Result SftpPublishSession::removeThenRename(const QString& from, const QString& to,
                                            bool& listRemoved) {
    listRemoved = false;
    if (!connect())
        return Result::Failed;
    const QByteArray source = from.toUtf8(), target = to.toUtf8();
    const quint32 removeId = client()->remove(target);
    listRemoved = true;
    const quint32 renameId = client()->rename(source, target);
    folder_.sendRemovals();
    const auto removed = answer(removeId);
    const auto renamed = removed ? answer(renameId) : std::nullopt;
    const QByteArray action = "RENAME " + source + ' ' + target;
    if (removed && RemovalOf(*removed) == Removal::Refused)
        listRemoved = false;
    if (!removed || !renamed)
        return broken(action);
    if (!listRemoved)
        return refused(*removed, "REMOVE " + target);
    return status(renamed, action);
}

PublishSession::Removal SftpPublishSession::remove(const QString& path) {
    if (!alive() || aborted())
        return Removal::NoAnswer;
    cleanup_ = true;
    const auto ahead = folder_.takeRemoval(path);
    const auto r = answer(ahead ? *ahead : client()->remove(path.toUtf8()));
    cleanup_ = false;
    if (!r) {
        sawError_ = true;
        return Removal::NoAnswer;
    }
    return RemovalOf(*r);
}

PublishSession::Result SftpPublishSession::listing(const QString& folder, const QString& finalBase,
                                                QList<ListedEntry>& entries) {
    if (!connect())
        return Result::Failed;
    const SftpListing* listing = folder_.readListing(folder, finalBase);
    if (!listing)
        return broken("READDIR");
    if (listing->broken())
        return broken("READDIR " + folder.toUtf8());
    if (listing->refused())
        return Result::Refused;
    entries = listing->entries();
    return Result::Ok;
}

QStringList SftpPublishSession::uncertainCopies() {
    if (folder_.openAhead() && !aborted() && alive())
        discardEarlyOpen();
    return folder_.uncertainCopies();
}

qint32 SftpPublishSession::failureCode(const LocalFile& file) {
    if (aborted())
        return ResponseCodes::Aborted;
    if (file.readError()) {
        report_->localErrno = file.error();
        return ResponseCodes::LocalFileUnreadable;
    }
    return failure_ != 0 ? failure_ : SshCode(SshFailure::SessionFailed);
}
