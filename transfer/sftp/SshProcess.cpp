#include "SshProcess.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds AbortCheck{100};
constexpr int KeptErrorLines = 40;

void closeFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

void nonBlocking(int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

QByteArray variableName(const QByteArray& entry) {
    return entry.left(entry.indexOf('='));
}

} // namespace

SshProcess::~SshProcess() {
    stop();
}

bool SshProcess::start(const QString& program, const QStringList& arguments,
                       const QStringList& environment) {
    stop();
    // Sockets rather than pipes for the packets: a write to an ssh that has
    // gone fails with EPIPE instead of raising SIGPIPE in the program.
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    // ssh closes every descriptor above standard error as it starts, and
    // opens its log by name: a file in memory, named through this process.
    int log = ::memfd_create("ssh-log", MFD_CLOEXEC);
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) != 0 ||
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, out) != 0 ||
        ::pipe2(err, O_CLOEXEC) != 0 || log < 0) {
        const int saved = errno;
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1], log})
            closeFd(fd);
        errno = saved;
        return false;
    }

    QList<QByteArray> argv{QFile::encodeName(program), "-E",
                           "/proc/" + QByteArray::number(::getpid()) + "/fd/" +
                               QByteArray::number(log)};
    for (const QString& a : arguments)
        argv << a.toUtf8();
    QList<QByteArray> envp;
    QList<QByteArray> replaced;
    for (const QString& e : environment) {
        envp << e.toUtf8();
        replaced << variableName(envp.last());
    }
    for (char** e = environ; e && *e; ++e) {
        const QByteArray entry(*e);
        if (!replaced.contains(variableName(entry)))
            envp << entry;
    }
    std::vector<char*> argvp, envpp;
    for (QByteArray& a : argv)
        argvp.push_back(a.data());
    argvp.push_back(nullptr);
    for (QByteArray& e : envp)
        envpp.push_back(e.data());
    envpp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_adddup2(&actions, in[1], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    // Whatever the rest of the program left open stays out of ssh.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    // A session of its own: no terminal to ask on, and one group to end.
    posix_spawnattr_setflags(&attr,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    // The program is named by its path: PATH has no say in which ssh runs.
    const int rc = posix_spawn(&pid, argvp[0], &actions, &attr, argvp.data(), envpp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    closeFd(in[1]);
    closeFd(out[1]);
    closeFd(err[1]);
    if (rc != 0) {
        closeFd(in[0]);
        closeFd(out[0]);
        closeFd(err[0]);
        closeFd(log);
        errno = rc;
        return false;
    }
    pid_ = pid;
    input_ = in[0];
    replies_ = out[0];
    errors_.fd = log;
    passed_.fd = err[0];
    for (const int fd : {input_, replies_, passed_.fd})
        nonBlocking(fd);
    ::shutdown(input_, SHUT_RD);
    ::shutdown(replies_, SHUT_WR);
    repliesEnded_ = inputBroken_ = false;
    queued_.clear();
    written_ = 0;
    framer_ = Sftp::Framer();
    for (Lines* lines : {&errors_, &passed_}) {
        lines->offset = 0;
        lines->text.clear();
        lines->lines.clear();
    }
    return true;
}

SshProcess::Wait SshProcess::next(QByteArray& packet, milliseconds limit) {
    auto progress = Clock::now();
    for (;;) {
        if (auto whole = framer_.next()) {
            packet = std::move(*whole);
            return Wait::Packet;
        }
        if (framer_.failed())
            return Wait::Garbled;
        if (abort_ && abort_->load())
            return Wait::Aborted;
        if (repliesEnded_ || pid_ < 0) {
            drainErrors();
            return Wait::Closed;
        }
        const auto left = progress + limit - Clock::now();
        if (left <= Clock::duration::zero())
            return Wait::Timeout;
        const bool sending = written_ < queued_.size() && !inputBroken_;
        pollfd p[3] = {{replies_, POLLIN, 0},
                       {passed_.fd, POLLIN, 0},
                       {sending ? input_ : -1, POLLOUT, 0}};
        const auto wait = std::min<milliseconds>(AbortCheck, std::chrono::ceil<milliseconds>(left));
        if (::poll(p, 3, int(wait.count())) < 0 && errno != EINTR)
            return Wait::Closed;
        if (p[2].revents & (POLLOUT | POLLERR | POLLHUP)) {
            const ssize_t n = ::send(input_, queued_.constData() + written_,
                                     queued_.size() - written_, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                written_ += n;
                progress = Clock::now();
                if (written_ == queued_.size()) {
                    queued_.clear();
                    written_ = 0;
                } else if (written_ > 1024 * 1024) {
                    queued_.remove(0, written_);
                    written_ = 0;
                }
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                // ssh no longer reads: its output tells the rest.
                inputBroken_ = true;
            }
        }
        if (p[0].revents & (POLLIN | POLLERR | POLLHUP)) {
            char buffer[64 * 1024];
            const ssize_t n = ::recv(replies_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) {
                framer_.feed(QByteArrayView(buffer, n));
                progress = Clock::now();
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                repliesEnded_ = true;
            }
        }
        // The log is a file: read at each turn, as often as the abort is
        // checked.
        readErrors();
    }
}

bool SshProcess::read(Lines& from) {
    if (from.fd < 0)
        return false;
    char buffer[4096];
    const ssize_t n = from.file ? ::pread(from.fd, buffer, sizeof buffer, from.offset)
                                : ::read(from.fd, buffer, sizeof buffer);
    if (n > 0) {
        from.offset += n;
        from.text.append(buffer, n);
        split(from, false);
        return true;
    }
    if (!from.file && (n == 0 || (errno != EAGAIN && errno != EINTR))) {
        closeFd(from.fd);
        split(from, true);
    }
    return false;
}

void SshProcess::readErrors() {
    while (read(errors_)) {
    }
    while (read(passed_)) {
    }
}

const QList<QByteArray>& SshProcess::errorLines() {
    while (read(errors_)) {
    }
    return errors_.lines;
}

void SshProcess::drainErrors() {
    // ssh writes its last words as it exits; the pipes end when it (and any
    // askpass it started) has gone. A second at most.
    const auto until = Clock::now() + milliseconds(1000);
    while (passed_.fd >= 0 && Clock::now() < until) {
        pollfd p{passed_.fd, POLLIN, 0};
        if (::poll(&p, 1, 100) > 0)
            readErrors();
    }
    readErrors();
    split(errors_, true);
    split(passed_, true);
}

void SshProcess::split(Lines& from, bool flush) {
    for (;;) {
        qsizetype end = from.text.indexOf('\n');
        if (end < 0) {
            if (!flush || from.text.isEmpty())
                return;
            end = from.text.size();
        }
        QByteArray line = from.text.first(end);
        from.text.remove(0, std::min(end + 1, from.text.size()));
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty())
            continue;
        if (*from.listener)
            (*from.listener)(line);
        from.lines.append(line);
        if (from.lines.size() > KeptErrorLines)
            from.lines.removeFirst();
    }
}

bool SshProcess::exited() const {
    siginfo_t info{};
    return ::waitid(P_PID, id_t(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != 0;
}

bool SshProcess::waitExit(milliseconds limit) const {
    const auto until = Clock::now() + limit;
    while (!exited()) {
        if (Clock::now() >= until)
            return false;
        std::this_thread::sleep_for(milliseconds(10));
    }
    return true;
}

bool SshProcess::alive() const {
    return pid_ > 0 && !repliesEnded_ && !inputBroken_ && !framer_.failed() && !exited();
}

void SshProcess::stop() {
    if (pid_ <= 0) {
        closeAll();
        return;
    }
    // End of input first: ssh closes the channel and exits on its own.
    closeFd(input_);
    if (!waitExit(milliseconds(300))) {
        ::kill(-pid_, SIGTERM);
        if (!waitExit(milliseconds(1000)))
            ::kill(-pid_, SIGKILL);
    }
    // Whatever ssh started (an askpass) goes too; ssh's own unreaped exit
    // keeps the group's id from being reused until then.
    ::kill(-pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    closeAll();
}

void SshProcess::closeAll() {
    readErrors();
    split(errors_, true);
    split(passed_, true);
    closeFd(input_);
    closeFd(replies_);
    closeFd(errors_.fd);
    closeFd(passed_.fd);
}
