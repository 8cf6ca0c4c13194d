// A minimal FTP server on 127.0.0.1 that stores nothing: every STOR is read
// into one buffer and dropped, so that an upload's speed is the client's and
// the socket's alone. It answers just the commands an upload sends (SIZE
// reports what the last STOR of that name received) and serves one control
// connection at a time.
//
//   bench_ftpsink [MAX_SESSIONS]
//
// Prints "PORT <n>" once listening; ends after MAX_SESSIONS sessions
// (default 100), after 60 s without a new session, or at the end of input.

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int IdleMs = 60'000;
constexpr int PeerWaitMs = 30'000;
constexpr size_t DataBuffer = 1024 * 1024;

int listenLoopback(int& port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

bool readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) > 0;
}

class Session {
public:
    Session(int control, std::map<std::string, long long>& sizes)
        : control_(control), sizes_(sizes) {}
    ~Session() {
        if (passive_ >= 0)
            close(passive_);
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void run() {
        reply("220 sink ready");
        std::string line;
        while (readLine(line)) {
            const size_t space = line.find(' ');
            std::string verb = line.substr(0, space);
            const std::string arg =
                space == std::string::npos ? std::string() : line.substr(space + 1);
            for (char& c : verb)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            if (verb == "QUIT") {
                reply("221 bye");
                return;
            }
            answer(verb, arg);
        }
    }

private:
    void answer(const std::string& verb, const std::string& arg) {
        if (verb == "USER")
            reply("331 password");
        else if (verb == "PASS")
            reply("230 logged in");
        else if (verb == "PWD")
            reply("257 \"/\"");
        else if (verb == "CWD" || verb == "DELE")
            reply(verb == "DELE" && !sizes_.erase(arg) ? "550 no such file" : "250 ok");
        else if (verb == "TYPE" || verb == "OPTS" || verb == "NOOP")
            reply("200 ok");
        else if (verb == "EPSV")
            openPassive();
        else if (verb == "STOR")
            store(arg);
        else if (verb == "SIZE") {
            const auto found = sizes_.find(arg);
            reply(found == sizes_.end() ? "550 no such file"
                                        : "213 " + std::to_string(found->second));
        } else if (verb == "RNFR") {
            renameFrom_ = arg;
            reply(sizes_.count(arg) ? "350 ready" : "550 no such file");
        } else if (verb == "RNTO") {
            const auto found = sizes_.find(renameFrom_);
            if (found == sizes_.end()) {
                reply("503 RNFR first");
                return;
            }
            const long long size = found->second;
            sizes_.erase(found);
            sizes_[arg] = size;
            reply("250 renamed");
        } else
            reply("502 not implemented");
    }

    void openPassive() {
        if (passive_ >= 0)
            close(passive_);
        int port = 0;
        passive_ = listenLoopback(port);
        if (passive_ < 0)
            reply("425 no data port");
        else
            reply("229 Entering Extended Passive Mode (|||" + std::to_string(port) + "|)");
    }

    void store(const std::string& name) {
        if (passive_ < 0) {
            reply("425 EPSV first");
            return;
        }
        reply("150 send");
        const int data = readable(passive_, PeerWaitMs) ? accept(passive_, nullptr, nullptr) : -1;
        close(passive_);
        passive_ = -1;
        if (data < 0) {
            reply("425 no data connection");
            return;
        }
        long long received = 0;
        bool ok = true;
        for (;;) {
            if (!readable(data, PeerWaitMs)) {
                ok = false;
                break;
            }
            const ssize_t got = read(data, buffer_.data(), buffer_.size());
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                ok = false;
            if (got <= 0)
                break;
            received += got;
        }
        close(data);
        sizes_[name] = received;
        reply(ok ? "226 stored" : "426 data connection lost");
    }

    bool readLine(std::string& line) {
        for (;;) {
            const size_t end = pending_.find('\n');
            if (end != std::string::npos) {
                line = pending_.substr(0, end);
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                pending_.erase(0, end + 1);
                return true;
            }
            if (pending_.size() > 4096 || !readable(control_, PeerWaitMs))
                return false;
            char chunk[1024];
            const ssize_t got = read(control_, chunk, sizeof chunk);
            if (got <= 0)
                return false;
            pending_.append(chunk, static_cast<size_t>(got));
        }
    }

    void reply(const std::string& text) {
        const std::string line = text + "\r\n";
        size_t sent = 0;
        while (sent < line.size()) {
            const ssize_t n = write(control_, line.data() + sent, line.size() - sent);
            if (n <= 0)
                return;
            sent += static_cast<size_t>(n);
        }
    }

    int control_;
    int passive_ = -1;
    std::map<std::string, long long>& sizes_;
    std::string pending_;
    std::string renameFrom_;
    std::vector<char> buffer_ = std::vector<char>(DataBuffer);
};

} // namespace

int main(int argc, char* argv[]) {
    const int maxSessions = argc > 1 ? std::atoi(argv[1]) : 100;
    int port = 0;
    const int listener = listenLoopback(port);
    if (listener < 0) {
        std::perror("listen");
        return 1;
    }
    std::printf("PORT %d\n", port);
    std::fflush(stdout);

    std::map<std::string, long long> sizes;
    for (int session = 0; session < maxSessions; ++session) {
        pollfd fds[2] = {{listener, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        if (poll(fds, 2, IdleMs) <= 0)
            break;
        if (fds[1].revents) {
            char c;
            if (read(STDIN_FILENO, &c, 1) <= 0)
                break;
        }
        if (!(fds[0].revents & POLLIN))
            continue;
        const int control = accept(listener, nullptr, nullptr);
        if (control < 0)
            continue;
        // A reply must not wait for the client to acknowledge the one before
        // it (Nagle against delayed ACKs), as replies to one command may be two.
        const int on = 1;
        setsockopt(control, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        Session(control, sizes).run();
        close(control);
    }
    close(listener);
    return 0;
}
