#include "WorkerProbe.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dlfcn.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>

struct ssl_st;

namespace {

std::atomic<int> delayMs{-1}; // -1: not yet read from the environment
std::atomic<int> epsvCount{0};
std::atomic<int> blindCount{0};
thread_local bool awaitingData = false;

int holdMs() {
    int ms = delayMs.load();
    if (ms < 0) {
        const char* text = std::getenv("HARLUNE_PROBE_EPSV_DELAY_MS");
        ms = text ? std::atoi(text) : 0;
        int unset = -1;
        delayMs.compare_exchange_strong(unset, ms);
        ms = delayMs.load();
    }
    return ms;
}

template <typename Function> Function next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

void afterSend(const void* buffer, long length) {
    if (length < 4 || std::memcmp(buffer, "EPSV", 4) != 0)
        return;
    ++epsvCount;
    awaitingData = true;
    if (const int ms = holdMs(); ms > 0) {
        const timespec pause{ms / 1000, (ms % 1000) * 1000000L};
        nanosleep(&pause, nullptr);
    }
}

struct Report {
    ~Report() {
        const char* path = std::getenv("HARLUNE_PROBE_REPORT");
        if (!path || !*path)
            return;
        if (std::FILE* file = std::fopen(path, "a")) {
            std::fprintf(file, "epsv %d blind_waits %d\n", epsvCount.load(), blindCount.load());
            std::fclose(file);
        }
    }
} report;

} // namespace

namespace WorkerProbe {

void setDelayAfterEpsv(int ms) {
    delayMs = ms;
}
void reset() {
    epsvCount = 0;
    blindCount = 0;
}
int epsvSent() {
    return epsvCount;
}
int blindWaits() {
    return blindCount;
}

} // namespace WorkerProbe

extern "C" {

ssize_t send(int fd, const void* buffer, size_t length, int flags) {
    static const auto real = next<ssize_t (*)(int, const void*, size_t, int)>("send");
    const ssize_t sent = real(fd, buffer, length, flags);
    if (sent > 0)
        afterSend(buffer, sent);
    return sent;
}

int SSL_write(ssl_st* ssl, const void* buffer, int length) {
    static const auto real = next<int (*)(ssl_st*, const void*, int)>("SSL_write");
    const int sent = real(ssl, buffer, length);
    if (sent > 0)
        afterSend(buffer, sent);
    return sent;
}

int poll(pollfd* fds, nfds_t count, int timeout) {
    static const auto real = next<int (*)(pollfd*, nfds_t, int)>("poll");
    const int ready = real(fds, count, timeout);
    // A zero timeout only looks; a wait that ran out slept on a timer.
    if (awaitingData && timeout != 0 && ready == 0)
        ++blindCount;
    return ready;
}

int connect(int fd, const sockaddr* address, socklen_t length) {
    static const auto real = next<int (*)(int, const sockaddr*, socklen_t)>("connect");
    awaitingData = false;
    return real(fd, address, length);
}

} // extern "C"
