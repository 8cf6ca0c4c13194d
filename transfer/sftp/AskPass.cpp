#include "AskPass.h"

#include "SshCommand.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr int MessageLimit = 4096;
constexpr int PeerWaitMs = 5000;

std::mutex programLock;
QString program;

bool sameBytes(const QByteArray& a, const QByteArray& b) {
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

// Reads until the peer shuts its side, at most `limit` bytes and
// `PeerWaitMs` of silence.
bool readAll(int fd, QByteArray& out, int limit) {
    char buffer[512];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, PeerWaitMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        out.append(buffer, got);
        if (out.size() > limit)
            return false;
    }
}

bool writeAll(int fd, const QByteArray& bytes) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.constData() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

sockaddr_un addressOf(const QByteArray& path, bool& ok) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ok = path.size() > 0 && path.size() < qsizetype(sizeof address.sun_path);
    if (ok)
        std::memcpy(address.sun_path, path.constData(), path.size());
    return address;
}

// The parent of a process, from /proc; -1 where it cannot be told.
pid_t ParentOf(pid_t pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (pid <= 0 || !stat.open(QIODevice::ReadOnly))
        return -1;
    // "pid (name) state ppid ...": the name may hold anything, a ")" too.
    const QByteArray line = stat.read(4096);
    const qsizetype close = line.lastIndexOf(')');
    const QList<QByteArray> fields = line.mid(close + 1).trimmed().split(' ');
    bool ok = false;
    const pid_t parent = fields.size() > 1 ? fields[1].toInt(&ok) : -1;
    return ok ? parent : -1;
}

} // namespace

AskPassServer::AskPassServer(const QString& password, const QByteArray& account)
    : password_(password.toUtf8()), account_(account) {
    QByteArray random(32, '\0');
    QRandomGenerator::system()->generate(reinterpret_cast<quint32*>(random.data()),
                                         reinterpret_cast<quint32*>(random.data() + 32));
    token_ = random.toHex();
    QString base = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (base.isEmpty() || !QFileInfo(base).isDir())
        base = QDir::tempPath();
    QByteArray pattern = QFile::encodeName(base + QStringLiteral("/harlune-askpass-XXXXXX"));
    // mkdtemp makes the folder 0700: nobody else can reach the socket.
    if (!::mkdtemp(pattern.data()))
        return;
    dir_ = QFile::decodeName(pattern);
    socket_ = dir_ + QStringLiteral("/s");
    bool ok = false;
    const sockaddr_un address = addressOf(QFile::encodeName(socket_), ok);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (!ok || fd < 0 ||
        ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 4) != 0 || ::pipe2(wake_, O_CLOEXEC) != 0) {
        if (fd >= 0)
            ::close(fd);
        return;
    }
    listener_ = fd;
    thread_ = std::thread([this] { serve(); });
}

AskPassServer::~AskPassServer() {
    if (thread_.joinable()) {
        const char stop = 0;
        [[maybe_unused]] const ssize_t n = ::write(wake_[1], &stop, 1);
        thread_.join();
    }
    for (const int fd : {listener_, wake_[0], wake_[1]}) {
        if (fd >= 0)
            ::close(fd);
    }
    if (!socket_.isEmpty())
        QFile::remove(socket_);
    if (!dir_.isEmpty())
        QDir().rmdir(dir_);
    password_.fill('\0');
}

QString AskPassServer::variableValue() const {
    return QString::fromLatin1(token_) + u':' + socket_;
}

int AskPassServer::answered() const {
    return answered_.load();
}

QByteArray AskPassServer::withheld() const {
    const std::lock_guard lock(withheldLock_);
    return withheld_;
}

void AskPassServer::withhold(const QByteArray& prompt) {
    const std::lock_guard lock(withheldLock_);
    withheld_ = prompt.trimmed();
}

bool AskPassServer::IsPasswordPrompt(const QByteArray& prompt, const QByteArray& account) {
    if (account.isEmpty())
        return false;
    // ssh names the host in lower case, as its configuration does.
    const QByteArray text = prompt.trimmed().toLower();
    const QByteArray named = account.toLower();
    // ssh's own: "%s@%s's password: ".
    if (text == named + "'s password:")
        return true;
    // The server's keyboard-interactive prompt, after ssh's "(user@host) ".
    const QByteArray prefix = '(' + named + ") ";
    if (!text.startsWith(prefix))
        return false;
    const QByteArray asked = text.mid(prefix.size());
    return asked == "password:" || (asked.endsWith("'s password:") && !asked.contains("passphrase"));
}

void AskPassServer::serve() {
    for (;;) {
        pollfd p[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (p[1].revents)
            return;
        if (p[0].revents & POLLIN) {
            const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) {
                answer(client);
                ::close(client);
            }
        }
    }
}

void AskPassServer::answer(int client) {
    // Only the user's own processes; the folder's mode says the same.
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.uid != ::getuid())
        return;
    QByteArray message;
    if (!readAll(client, message, MessageLimit))
        return;
    const qsizetype end = message.indexOf('\n');
    if (end < 0 || token_.isEmpty() || !sameBytes(message.first(end), token_))
        return;
    const QByteArray prompt = message.mid(end + 1);
    // The askpass of the upload's own ssh, not of a program that ssh
    // started: those log in elsewhere, or are no ssh at all.
    const pid_t ssh = ssh_.load();
    if (ssh <= 0 || ParentOf(peer.pid) != ssh) {
        withhold(prompt);
        return;
    }
    if (!IsPasswordPrompt(prompt, account_)) {
        // A passphrase or a question is no password's to answer; a
        // password prompt for another account is told of.
        if (prompt.contains("password:") && !prompt.contains("passphrase"))
            withhold(prompt);
        return;
    }
    if (password_.isEmpty())
        return;
    // One answer for the log-in: the token is spent, and the password is
    // held here no longer.
    token_.fill('\0');
    token_.clear();
    if (writeAll(client, password_))
        ++answered_;
    password_.fill('\0');
    password_.clear();
}

QString AskPassProgram() {
    const std::lock_guard lock(programLock);
    if (program.isEmpty())
        program = QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
    return program;
}

void SetAskPassProgram(const QString& path) {
    const std::lock_guard lock(programLock);
    program = path;
}

int AskPassMain(int argc, char** argv) {
    const char* value = std::getenv(AskPassVariable);
    if (!value || argc < 2)
        return 1;
    const QByteArray variable(value);
    const qsizetype colon = variable.indexOf(':');
    if (colon <= 0)
        return 1;
    bool ok = false;
    const sockaddr_un address = addressOf(variable.mid(colon + 1), ok);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (!ok || fd < 0)
        return 1;
    QByteArray answer;
    const bool asked =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        writeAll(fd, variable.first(colon) + '\n' + QByteArray(argv[1])) &&
        ::shutdown(fd, SHUT_WR) == 0 && readAll(fd, answer, MessageLimit);
    ::close(fd);
    if (!asked || answer.isEmpty())
        return 1;
    answer.append('\n');
    const bool written =
        std::fwrite(answer.constData(), 1, answer.size(), stdout) == size_t(answer.size()) &&
        std::fflush(stdout) == 0;
    answer.fill('\0');
    return written ? 0 : 1;
}
