#include "SftpPublishSession.h"

#include "LocalFile.h"
#include "LogText.h"
#include "ResponseCodes.h"
#include "SshCommand.h"
#include "TransferLog.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <cerrno>
#include <utility>
#include <vector>

#include <pwd.h>
#include <unistd.h>

namespace {

using std::chrono::milliseconds;
using Result = PublishSession::Result;

// The reentrant lookup: two SFTP log-ins to two destinations run on two
// worker threads at once, and getpwuid's static entry is shared.
QString accountHome() {
    passwd entry{};
    passwd* pw = nullptr;
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    while (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &pw) == ERANGE &&
           buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    return pw && pw->pw_dir ? QFile::decodeName(pw->pw_dir) : QString();
}

bool isDebug(const QByteArray& line) {
    return line.startsWith("debug") || line.startsWith("Authenticated ") ||
           line.startsWith("Transferred:") || line.startsWith("Bytes per second:");
}

// What ssh's last words say of the failure.
struct SshVerdict {
    SshFailure failure = SshFailure::SessionFailed;
    QByteArray line; // the line that says it
    int osErrno = 0;
    bool tooManyFailures = false;
};

SshVerdict judge(const QList<QByteArray>& lines) {
    SshVerdict v;
    bool changed = false, unknown = false;
    for (const QByteArray& line : lines) {
        if (isDebug(line))
            continue;
        if (line.contains("REMOTE HOST IDENTIFICATION HAS CHANGED"))
            changed = true;
        else if (line.contains("host key is known for"))
            unknown = true;
        if (line.contains("Too many authentication failures"))
            v.tooManyFailures = true;
        if (line.startsWith("Host key verification failed")) {
            v.failure = changed ? SshFailure::HostKeyChanged : SshFailure::HostKeyUnknown;
            v.line = line;
            return v;
        }
        if (line.contains("Permission denied (") || v.tooManyFailures) {
            v.failure = SshFailure::LoginDenied;
            v.line = line;
        } else if (line.contains("Could not resolve hostname")) {
            v.failure = SshFailure::HostNotFound;
            v.line = line;
        } else if (line.contains("connect to host")) {
            v.line = line;
            if (line.endsWith("Connection timed out") || line.endsWith("Operation timed out")) {
                v.failure = SshFailure::ConnectTimedOut;
            } else {
                v.failure = SshFailure::CannotConnect;
                if (line.endsWith("Connection refused"))
                    v.osErrno = ECONNREFUSED;
                else if (line.endsWith("No route to host"))
                    v.osErrno = EHOSTUNREACH;
                else if (line.endsWith("Network is unreachable"))
                    v.osErrno = ENETUNREACH;
            }
        } else if (line.startsWith("Connection timed out") ||
                   (line.startsWith("Connection to ") && line.endsWith(" timed out"))) {
            // ConnectTimeout covers the greeting too.
            if (v.failure != SshFailure::ConnectTimedOut)
                v.line = line;
            v.failure = SshFailure::ConnectTimedOut;
        } else if (v.line.isEmpty() || v.failure == SshFailure::SessionFailed) {
            v.line = line;
        }
    }
    if (unknown && v.failure == SshFailure::SessionFailed)
        v.failure = SshFailure::HostKeyUnknown;
    return v;
}

bool isOk(const Sftp::Reply& reply) {
    return reply.type == Sftp::Status && reply.code == Sftp::Ok;
}

// What a REMOVE's answer says: only "removed" and "no such file" count.
PublishSession::Removal removalOf(const Sftp::Reply& reply) {
    using Removal = PublishSession::Removal;
    if (isOk(reply))
        return Removal::Removed;
    if (reply.type == Sftp::Status && reply.code == Sftp::NoSuchFile)
        return Removal::NotThere;
    return Removal::Refused;
}

// The facts a file's attributes tell: SFTP names owner and group by
// number.
void takeAttrs(const Sftp::FileAttrs& a, RemoteFileFacts& facts) {
    if (a.size)
        facts.size = qint64(*a.size);
    if (a.permissions)
        facts.mode = *a.permissions & 07777;
    if (a.uid) {
        facts.owner = QString::number(*a.uid);
        facts.group = QString::number(*a.gid);
    }
    if (a.mtime)
        facts.changed = *a.mtime;
}

} // namespace

SftpPublishSession::SftpPublishSession(const PublishJob& job, const std::atomic<bool>& abort,
                         std::unique_ptr<SshConnection> held)
    : job_(job), abort_(abort), report_(job.report ? job.report : &ownReport_),
      held_(held != nullptr),
      connection_(held ? std::move(held) : std::make_unique<SshConnection>()), loginTried_(held_) {
    attach();
    if (held_)
        trace_.note("going on with the session of an earlier upload: no new log-in");
}

SftpPublishSession::~SftpPublishSession() {
    if (early_ && !aborted() && alive())
        discardEarlyOpen();
}

void SftpPublishSession::discardEarlyOpen() {
    if (!early_)
        return;
    const EarlyOpen early = *early_;
    early_.reset();
    cleanup_ = true;
    const auto r = answer(early.id);
    if (r && r->type == Sftp::Handle) {
        const quint32 closeId = client()->close(r->handle);
        const quint32 removeId = client()->remove(early.path.toUtf8());
        const auto closed = answer(closeId);
        const auto removed = closed ? answer(removeId) : std::nullopt;
        if (!closed || !removed)
            sawError_ = true;
        if (!removed || removalOf(*removed) == Removal::Refused)
            uncertain_ << early.path;
    } else if (!r) {
        sawError_ = true;
        uncertain_ << early.path;
    }
    cleanup_ = false;
}

void SftpPublishSession::attach() {
    ssh().setAbort(&abort_);
    ssh().onErrorLine([this](const QByteArray& line) { trace_.note("ssh: " + line); });
    ssh().onPassedLine(
        [this](const QByteArray& line) { trace_.note("passed on by ssh (the server's banner?): " + line); });
    if (client())
        client()->onTrace([this](const QByteArray& line) { trace_.note(line); });
}

std::unique_ptr<Connection> SftpPublishSession::release() {
    // A session that saw any failure is closed, never held: a reply that
    // timed out may still arrive, and would answer the next request.
    if (sawError_ || aborted() || !alive() || !settleAhead())
        return nullptr;
    connection_->notePeer();
    connection_->detach();
    return std::move(connection_);
}

milliseconds SftpPublishSession::replyLimit() const {
    return ReplyWait(job_.timeouts, held_ && !answered_, cleanup_);
}

void SftpPublishSession::fail(SshFailure failure) {
    report_->sshFailure = failure;
    failure_ = ResponseCodes::SshBase + static_cast<qint32>(failure);
}

bool SftpPublishSession::connect() {
    // A channel that is up goes on; a request finds out, in ssh's own
    // words, if ssh has gone meanwhile.
    if (client() && client()->connected() && client()->error() == SftpClient::Error::None)
        return true;
    if (loginTried_)
        return false;
    loginTried_ = true;
    report_->action = "log-in";
    if (!SafeSshUser(job_.userName)) {
        fail(SshFailure::UnsafeUser);
        return false;
    }
    if (tryLogin(false)) {
        // The password is asked for at the log-in alone.
        askPass_.reset();
        return true;
    }
    // Eight keys in an agent use up sshd's tries before the password gets
    // one: the password alone, once more.
    if (!aborted() && !job_.password.isEmpty() && judge(ssh().errorLines()).tooManyFailures) {
        trace_.note("too many keys refused: the password alone");
        if (tryLogin(true)) {
            askPass_.reset();
            return true;
        }
    }
    loginFailed();
    return false;
}

QByteArray SftpPublishSession::promptAccount(const QStringList& args) {
    // ssh's own account of its configuration for the destination: the user
    // and host its password prompt names, aliases and Match blocks applied.
    QProcess query;
    query.start(QLatin1String(SshProgram), QStringList{QStringLiteral("-G")} + args);
    const int limit = int(std::chrono::ceil<milliseconds>(job_.timeouts.connect).count());
    if (!query.waitForFinished(limit)) {
        query.kill();
        query.waitForFinished();
    }
    const QByteArray account = PromptAccount(query.readAllStandardOutput());
    trace_.note("the password is for " + (account.isEmpty() ? "nobody ssh names" : account));
    return account;
}

bool SftpPublishSession::tryLogin(bool passwordAlone) {
    SshCommandInput in;
    in.endpoint = job_.endpoint;
    in.userName = job_.userName;
    in.connectTimeout = std::chrono::ceil<std::chrono::seconds>(job_.timeouts.connect);
    in.verbose = lcTransfer().isDebugEnabled();
    in.passwordAlone = passwordAlone;
    in.passwordTyped = !job_.password.isEmpty();
    in.home = qEnvironmentVariable("HOME");
    in.accountHome = accountHome();
    in.exists = [](const QString& path) { return QFileInfo::exists(path); };
    const auto args = SshArguments(in);
    if (!args) {
        failure_ = ResponseCodes::BadHost;
        return false;
    }
    ssh().stop();
    // A fresh askpass for each ssh: it answers that ssh once.
    askPass_ = std::make_unique<AskPassServer>(
        job_.password, job_.password.isEmpty() ? QByteArray() : promptAccount(*args));
    if (!askPass_->listening()) {
        trace_.note("no socket for the password: " + QByteArray(std::strerror(errno)));
        fail(SshFailure::CannotStart);
        return false;
    }
    trace_.note("ssh " + args->join(u' ').toUtf8());
    if (!ssh().start(QLatin1String(SshProgram), *args,
                     SshEnvironment(AskPassProgram(), askPass_->variableValue()))) {
        const int error = errno;
        trace_.note("ssh did not start: " + QByteArray(std::strerror(error)));
        report_->osErrno = error;
        report_->sshSaid = "cannot run ssh: " + QByteArray(std::strerror(error));
        fail(SshFailure::CannotStart);
        return false;
    }
    askPass_->answerFor(ssh().pid());
    connection_->newClient();
    attach();
    // ssh's own ConnectTimeout names what it waited for: it gets to speak
    // first, a second before the program's limit for the whole log-in.
    return client()->connect(job_.timeouts.connect + std::chrono::seconds(1));
}

void SftpPublishSession::loginFailed() {
    sawError_ = true;
    if (failure_ != 0)
        return;
    const SftpClient::Error error = client() ? client()->error() : SftpClient::Error::Closed;
    if (error == SftpClient::Error::Aborted) {
        ssh().stop();
        failure_ = ResponseCodes::Aborted;
        return;
    }
    // ssh is asked to end so that its last lines are in.
    ssh().stop();
    // A password prompt of another host explains what ssh's last words
    // (of the inner ssh, or of a connection closed) do not.
    if (askPass_ && askPass_->answered() == 0 && !askPass_->withheld().isEmpty()) {
        report_->sshSaid = askPass_->withheld();
        fail(SshFailure::PasswordWithheld);
        return;
    }
    const SshVerdict v = judge(ssh().errorLines());
    SshFailure failure = v.failure;
    if (error == SftpClient::Error::Timeout)
        failure = SshFailure::ConnectTimedOut;
    else if (error == SftpClient::Error::Protocol)
        failure = SshFailure::Garbled;
    report_->osErrno = v.osErrno;
    report_->sshSaid = MaskSecret(v.line, job_.password.toUtf8());
    if (failure == SshFailure::HostKeyUnknown || failure == SshFailure::HostKeyChanged) {
        const QString home = qEnvironmentVariable("HOME");
        report_->knownHosts =
            (home.isEmpty() ? accountHome() : home) + QStringLiteral("/.ssh/known_hosts");
    }
    fail(failure);
}

std::optional<Sftp::Reply> SftpPublishSession::answer(quint32 id) {
    auto reply = client()->reply(id, replyLimit());
    if (reply)
        answered_ = true;
    return reply;
}

Result SftpPublishSession::status(const std::optional<Sftp::Reply>& reply, const QByteArray& action) {
    if (!reply)
        return broken(action);
    return isOk(*reply) ? Result::Ok : refused(*reply, action);
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
        noteSshSaid();
        break;
    }
    return Result::Failed;
}

void SftpPublishSession::noteSshSaid() {
    ssh().stop();
    const SshVerdict v = judge(ssh().errorLines());
    report_->sshSaid = MaskSecret(v.line, job_.password.toUtf8());
}

Result SftpPublishSession::stat(const QString& path, RemoteFileFacts& facts) {
    facts = {};
    if (!connect())
        return Result::Failed;
    const QByteArray name = path.toUtf8();
    // Where the name is a link, its target comes in the same round trip; a
    // regular file's READLINK is refused, and costs no wait of its own.
    const quint32 statId = client()->lstat(name);
    const quint32 linkId = client()->readlink(name);
    // The copy's OPEN waits for nothing the answers tell.
    if (!expected_.isEmpty()) {
        early_ = EarlyOpen{expected_, client()->open(expected_.toUtf8())};
        expected_.clear();
    }
    if (expectedListing_) {
        openListing(expectedListing_->first, expectedListing_->second);
        expectedListing_.reset();
    }
    const auto r = answer(statId);
    const auto link = r ? answer(linkId) : std::nullopt;
    if (!r || !link)
        return broken("LSTAT " + name);
    if (r->type == Sftp::Status && r->code == Sftp::NoSuchFile)
        return Result::Ok;
    if (r->type != Sftp::Attrs)
        return refused(*r, "LSTAT " + name);
    facts.exists = true;
    takeAttrs(r->attrs, facts);
    switch (r->attrs.permissions.value_or(0) & Sftp::TypeMask) {
    case Sftp::TypeLink:
        facts.kind = RemoteFileFacts::Kind::Link;
        if (link->type == Sftp::Name)
            facts.linkTarget = QString::fromUtf8(link->name);
        break;
    case Sftp::TypeFolder:
        facts.kind = RemoteFileFacts::Kind::Folder;
        break;
    case Sftp::TypeRegular:
    case 0: // a server that sends the permission bits alone, or none
        break;
    default:
        facts.kind = RemoteFileFacts::Kind::Other;
    }
    return Result::Ok;
}

Result SftpPublishSession::store(const QString& path, LocalFile& file, int attempt,
                          std::optional<quint32> mode, RemoteFileFacts& stored) {
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
    trace_.note("store \"" + path.toUtf8() + "\" (name " + QByteArray::number(attempt + 1) + ")");
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
    if (listing_)
        readListing(false);
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
    if (early_ && early_->path == path)
        return answer(std::exchange(early_, std::nullopt)->id);
    discardEarlyOpen();
    return answer(client()->open(path.toUtf8()));
}

Result SftpPublishSession::writeFailed(const QByteArray& handle, const LocalFile& file,
                                const Sftp::Reply& refusal, const QByteArray& action) {
    if (client()->readFailed()) {
        report_->localErrno = file.error();
        failure_ = file.readError() ? ResponseCodes::LocalFileUnreadable
                                    : ResponseCodes::LocalFileChanged;
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
                              const QByteArray& action, RemoteFileFacts& stored) {
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
        if (!isOk(*w) && refusal.type == 0)
            refusal = *w;
    }
    // A refused mode or flush does not fail the store: the facts tell.
    for (const auto id : {setId, syncId}) {
        if (id && !answer(*id))
            return broken(action);
    }
    const auto facts = answer(statId);
    const auto closed = answer(closeId);
    if (!facts || !closed)
        return broken(action);
    if (refusal.type != 0 || !isOk(*closed)) {
        refused(refusal.type != 0 ? refusal : *closed, action);
        return Result::Failed;
    }
    stored.exists = true;
    if (facts->type == Sftp::Attrs)
        takeAttrs(facts->attrs, stored);
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
        sendRemovals();
        const auto r = answer(id);
        if (!r)
            return broken(action);
        if (isOk(*r))
            return Result::Ok;
        // A server may announce it and still refuse it (internal-sftp -P):
        // the plain rename follows.
        const bool unsupported = r->type == Sftp::Status && (r->code == Sftp::PermissionDenied ||
                                                             r->code == Sftp::OpUnsupported);
        if (!unsupported)
            return refused(*r, action);
    }
    const quint32 id = client()->rename(source, target);
    sendRemovals();
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

Result SftpPublishSession::removeThenRename(const QString& from, const QString& to, bool& listRemoved) {
    listRemoved = false;
    if (!connect())
        return Result::Failed;
    const QByteArray source = from.toUtf8(), target = to.toUtf8();
    const quint32 removeId = client()->remove(target);
    listRemoved = true;
    const quint32 renameId = client()->rename(source, target);
    sendRemovals();
    const auto removed = answer(removeId);
    const auto renamed = removed ? answer(renameId) : std::nullopt;
    const QByteArray action = "RENAME " + source + ' ' + target;
    if (removed && removalOf(*removed) == Removal::Refused)
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
    quint32 id = 0;
    if (const auto ahead = removing_.find(path); ahead != removing_.end()) {
        id = ahead.value();
        removing_.erase(ahead);
    } else {
        id = client()->remove(path.toUtf8());
    }
    const auto r = answer(id);
    cleanup_ = false;
    if (!r) {
        sawError_ = true;
        return Removal::NoAnswer;
    }
    return removalOf(*r);
}

void SftpPublishSession::sendRemovals() {
    for (const QString& path : std::exchange(removals_, {})) {
        if (!removing_.contains(path))
            removing_.insert(path, client()->remove(path.toUtf8()));
    }
}

void SftpPublishSession::expectListing(const QString& folder, const QString& finalBase) {
    expectedListing_ = std::make_pair(folder, finalBase);
}

void SftpPublishSession::openListing(const QString& folder, const QString& finalBase) {
    listing_.emplace();
    listing_->folder = folder;
    listing_->base = finalBase;
    // The log-in directory is ".": OpenSSH opens no folder named "".
    listing_->openId = client()->opendir(folder.isEmpty() ? QByteArray(".") : folder.toUtf8());
    listing_->started.start();
}

void SftpPublishSession::readListing(bool wait) {
    Listing& l = *listing_;
    if (l.handle.isEmpty() && !l.refused && !l.broken) {
        const auto r = answer(l.openId);
        if (!r) {
            l.broken = true;
            return;
        }
        if (r->type != Sftp::Handle) {
            l.refused = true;
            return;
        }
        l.handle = r->handle;
    }
    if (l.handle.isEmpty() || l.closeId)
        return;
    // A few READDIRs in flight: a folder of a few hundred names costs no
    // round trip of its own; a bigger one is read on within the look's limit.
    constexpr std::size_t InFlight = 4;
    const auto ask = [&] { l.reads.push_back(client()->readdir(l.handle)); };
    if (l.reads.empty() && !l.ended) {
        for (std::size_t i = 0; i < InFlight; ++i)
            ask();
    }
    if (!wait)
        return;
    // In waves: another only where the last one ended in no EOF, so that
    // a folder that fits in one costs no request after its end.
    while (!l.reads.empty()) {
        const auto r = answer(l.reads.front());
        l.reads.pop_front();
        if (!r) {
            l.broken = true;
            return;
        }
        if (r->type != Sftp::Name) {
            l.ended = true; // EOF, or a refusal: what came is what there is
        } else {
            for (const Sftp::NameEntry& entry : r->names) {
                if (!IsListOrCopy(entry.name, l.base))
                    continue;
                ListedEntry listed;
                listed.name = entry.name;
                // Without permission bits, the kind is the ls line's first
                // letter, where the server sends one.
                static constexpr std::pair<char, quint32> kinds[] = {
                    {'-', Sftp::TypeRegular}, {'d', Sftp::TypeFolder}, {'l', Sftp::TypeLink}};
                quint32 type = entry.attrs.permissions.value_or(0) & Sftp::TypeMask;
                for (const auto& [letter, kind] : kinds) {
                    if (!entry.attrs.permissions && entry.longNameKind == letter)
                        type = kind;
                }
                listed.kind = type == Sftp::TypeRegular ? ListedEntry::Kind::Regular
                              : type == Sftp::TypeFolder ? ListedEntry::Kind::Folder
                              : type == Sftp::TypeLink   ? ListedEntry::Kind::Link
                                                         : ListedEntry::Kind::Other;
                if (entry.attrs.mtime)
                    listed.changed = ListedTime{qint64(*entry.attrs.mtime)};
                if (l.entries.size() < MaxListedEntries)
                    l.entries << listed;
            }
        }
        if (l.reads.empty() && !l.ended) {
            if (l.started.hasExpired(job_.timeouts.look.count())) {
                trace_.note("the folder's listing is cut short: it took too long to read");
                l.ended = true;
            } else {
                for (std::size_t i = 0; i < InFlight; ++i)
                    ask();
            }
        }
    }
    l.closeId = client()->close(l.handle);
}

PublishSession::Result SftpPublishSession::list(const QString& folder, const QString& finalBase,
                                         QList<ListedEntry>& entries) {
    if (!connect())
        return Result::Failed;
    if (listing_ && (listing_->folder != folder || listing_->base != finalBase)) {
        if (!settleAhead())
            return broken("READDIR");
        listing_.reset();
    }
    if (!listing_)
        openListing(folder, finalBase);
    readListing(true);
    if (listing_->broken)
        return broken("READDIR " + folder.toUtf8());
    if (listing_->refused)
        return Result::Refused;
    entries = listing_->entries;
    return Result::Ok;
}

bool SftpPublishSession::settleAhead() {
    if (listing_ && !listing_->broken && !listing_->refused) {
        // Not read to its end: it ends here, and its handle is closed.
        if (!listing_->closeId) {
            listing_->ended = true;
            readListing(true);
        }
        if (listing_->closeId && !listing_->closed) {
            listing_->closed = true;
            if (!answer(*listing_->closeId))
                listing_->broken = true;
        }
        if (listing_->broken)
            return false;
    }
    for (const quint32 id : std::as_const(removing_)) {
        if (!answer(id))
            return false;
    }
    removing_.clear();
    return true;
}

QStringList SftpPublishSession::uncertainCopies() {
    if (early_ && !aborted() && alive())
        discardEarlyOpen();
    if (early_) {
        uncertain_ << early_->path;
        early_.reset();
    }
    return std::exchange(uncertain_, {});
}

qint32 SftpPublishSession::failureCode(const LocalFile& file) {
    if (aborted())
        return ResponseCodes::Aborted;
    if (file.readError()) {
        report_->localErrno = file.error();
        return ResponseCodes::LocalFileUnreadable;
    }
    return failure_ != 0 ? failure_
                         : ResponseCodes::SshBase + static_cast<qint32>(SshFailure::SessionFailed);
}
