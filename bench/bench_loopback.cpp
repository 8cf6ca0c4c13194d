// The loopback ceiling: raw bytes from one process to another through a TCP
// socket on 127.0.0.1, with nothing read from or written to disk. Given a
// sink file, the receiver also stores what it reads there, as an FTP server
// does, to tell the server's share of an upload's time.
//
//   bench_loopback BYTES [CHUNK_BYTES [SINK_FILE]]
//
// Prints "key value" lines; the time runs from the accepted connection to
// the sender's end of stream (and the sink file closed).

#include "ProcStats.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

int fail(const char* what) {
    std::perror(what);
    return 1;
}

// The sender: connects and writes `bytes`, then closes.
[[noreturn]] void send(const sockaddr_in& address, long long bytes, size_t chunk) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        _exit(3);
    std::vector<char> buffer(chunk, 'x');
    long long left = bytes;
    while (left > 0) {
        const size_t n = left < static_cast<long long>(chunk) ? static_cast<size_t>(left) : chunk;
        const ssize_t sent = write(fd, buffer.data(), n);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            _exit(4);
        left -= sent;
    }
    close(fd);
    _exit(0);
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: %s BYTES [CHUNK_BYTES [SINK_FILE]]\n", argv[0]);
        return 2;
    }
    const long long bytes = std::atoll(argv[1]);
    const size_t chunk = argc >= 3 ? std::strtoul(argv[2], nullptr, 10) : 1024 * 1024;
    if (bytes <= 0 || chunk == 0)
        return 2;
    int sink = -1;
    if (argc == 4) {
        sink = open(argv[3], O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (sink < 0)
            return fail("sink");
    }

    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return fail("listen");

    const pid_t sender = fork();
    if (sender < 0)
        return fail("fork");
    if (sender == 0)
        send(address, bytes, chunk);

    const int fd = accept(listener, nullptr, nullptr);
    if (fd < 0)
        return fail("accept");
    const double start = bench::nowMs();
    std::vector<char> buffer(chunk);
    long long received = 0;
    for (;;) {
        const ssize_t got = read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        received += got;
        if (sink >= 0 && write(sink, buffer.data(), static_cast<size_t>(got)) != got)
            return fail("write");
    }
    if (sink >= 0)
        close(sink);
    const double elapsedMs = bench::nowMs() - start;
    if (sink >= 0)
        unlink(argv[3]);
    close(fd);
    int status = 0;
    waitpid(sender, &status, 0);
    const bool ok = received == bytes && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    std::printf("ok %d\nbytes %lld\nelapsed_ms %.3f\nmib_per_s %.1f\n", ok ? 1 : 0, received,
                elapsedMs, received / (1024.0 * 1024.0) / (elapsedMs / 1000.0));
    return ok ? 0 : 1;
}
