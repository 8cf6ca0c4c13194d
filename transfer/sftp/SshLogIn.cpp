#include "SshLogIn.h"

#include "LogText.h"
#include "ResponseCodes.h"
#include "SshCommand.h"
#include "TransferLog.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <cerrno>
#include <cstring>
#include <vector>

#include <pwd.h>
#include <unistd.h>

namespace {

using std::chrono::milliseconds;

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

} // namespace

SshVerdict ReadSshErrors(const QList<QByteArray>& lines) {
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

void AttachSsh(SshConnection& connection, const ProtocolTrace& trace,
               const std::atomic<bool>& abort) {
    SshProcess& ssh = connection.ssh();
    ssh.setAbort(&abort);
    ssh.onErrorLine([&trace](const QByteArray& line) { trace.note("ssh: " + line); });
    ssh.onPassedLine([&trace](const QByteArray& line) {
        trace.note("passed on by ssh (the server's banner?): " + line);
    });
    if (connection.client())
        connection.client()->onTrace([&trace](const QByteArray& line) { trace.note(line); });
}

SshLogIn::SshLogIn(const PublishJob& job, const std::atomic<bool>& abort,
                   const ProtocolTrace& trace, PublishReport& report)
    : job_(job), abort_(abort), trace_(trace), report_(report) {}

qint32 SshLogIn::fail(SshFailure failure) {
    return failure_ = NoteSshFailure(report_.engine, failure);
}

qint32 SshLogIn::run(SshConnection& connection) {
    connection_ = &connection;
    report_.action = "log-in";
    if (!SafeSshUser(job_.userName))
        return fail(SshFailure::UnsafeUser);
    if (tryLogin(false)) {
        // The password is asked for at the log-in alone.
        askPass_.reset();
        return 0;
    }
    // Eight keys in an agent use up sshd's tries before the password gets
    // one: the password alone, once more.
    if (!abort_.load() && !job_.password.isEmpty() &&
        ReadSshErrors(ssh().errorLines()).tooManyFailures) {
        trace_.note("too many keys refused: the password alone");
        if (tryLogin(true)) {
            askPass_.reset();
            return 0;
        }
    }
    return failed();
}

QByteArray SshLogIn::promptAccount(const QStringList& args) {
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

bool SshLogIn::tryLogin(bool passwordAlone) {
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
        report_.osErrno = error;
        SftpFailureIn(report_.engine).sshSaid =
            "cannot run ssh: " + QByteArray(std::strerror(error));
        fail(SshFailure::CannotStart);
        return false;
    }
    askPass_->answerFor(ssh().pid());
    connection_->newClient();
    AttachSsh(*connection_, trace_, abort_);
    // ssh's own ConnectTimeout names what it waited for: it gets to speak
    // first, a second before the program's limit for the whole log-in.
    return connection_->client()->connect(job_.timeouts.connect + std::chrono::seconds(1));
}

qint32 SshLogIn::failed() {
    if (failure_ != 0)
        return failure_;
    SftpClient* client = connection_->client();
    const SftpClient::Error error = client ? client->error() : SftpClient::Error::Closed;
    // ssh is asked to end so that its last lines are in.
    ssh().stop();
    if (error == SftpClient::Error::Aborted)
        return failure_ = ResponseCodes::Aborted;
    SftpFailure& noted = SftpFailureIn(report_.engine);
    // A password prompt of another host explains what ssh's last words
    // (of the inner ssh, or of a connection closed) do not.
    if (askPass_ && askPass_->answered() == 0 && !askPass_->withheld().isEmpty()) {
        noted.sshSaid = askPass_->withheld();
        return fail(SshFailure::PasswordWithheld);
    }
    const SshVerdict v = ReadSshErrors(ssh().errorLines());
    SshFailure failure = v.failure;
    if (error == SftpClient::Error::Timeout)
        failure = SshFailure::ConnectTimedOut;
    else if (error == SftpClient::Error::Protocol)
        failure = SshFailure::Garbled;
    report_.osErrno = v.osErrno;
    noted.sshSaid = MaskSecret(v.line, job_.password.toUtf8());
    if (failure == SshFailure::HostKeyUnknown || failure == SshFailure::HostKeyChanged) {
        const QString home = qEnvironmentVariable("HOME");
        noted.knownHosts =
            (home.isEmpty() ? accountHome() : home) + QStringLiteral("/.ssh/known_hosts");
    }
    return fail(failure);
}
