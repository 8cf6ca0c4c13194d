#include "TcpForwarder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

sockaddr_in loopback(quint16 port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

} // namespace

TcpForwarder::~TcpForwarder() {
    if (thread_.joinable()) {
        thread_.request_stop();
        thread_.join();
    }
    for (const Pair& pair : pairs_) {
        ::close(pair.client);
        ::close(pair.server);
    }
    if (listener_ >= 0)
        ::close(listener_);
}

bool TcpForwarder::start() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t size = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        return false;
    port_ = ntohs(address.sin_port);
    thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
    return true;
}

void TcpForwarder::silence() {
    std::lock_guard lock(mutex_);
    for (Pair& pair : pairs_)
        pair.silent = true;
}

void TcpForwarder::accept() {
    const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0)
        return;
    accepted_.fetch_add(1);
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopback(target_);
    if (server < 0 ||
        ::connect(server, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(client);
        if (server >= 0)
            ::close(server);
        return;
    }
    pairs_.push_back({client, server, false});
}

bool TcpForwarder::pass(int from, int to) {
    char buffer[16384];
    const ssize_t got = ::read(from, buffer, sizeof buffer);
    if (got <= 0)
        return false;
    for (ssize_t sent = 0; sent < got;) {
        const ssize_t n = ::write(to, buffer + sent, static_cast<size_t>(got - sent));
        if (n <= 0)
            return false;
        sent += n;
    }
    return true;
}

void TcpForwarder::run(std::stop_token stop) {
    while (!stop.stop_requested()) {
        std::vector<pollfd> fds{{listener_, POLLIN, 0}};
        {
            std::lock_guard lock(mutex_);
            for (const Pair& pair : pairs_) {
                // A silenced connection is not read: what comes stays unread.
                const short events = pair.silent ? 0 : POLLIN;
                fds.push_back({pair.client, events, 0});
                fds.push_back({pair.server, events, 0});
            }
        }
        // Short, so that a stop or a silence is seen soon.
        if (::poll(fds.data(), fds.size(), 50) <= 0)
            continue;
        std::lock_guard lock(mutex_);
        for (size_t i = 0; i + 1 < fds.size(); i += 2) {
            Pair& pair = pairs_[i / 2];
            if (pair.silent || pair.client < 0)
                continue;
            const pollfd& client = fds[i + 1];
            const pollfd& server = fds[i + 2];
            const bool ended = ((client.revents & (POLLIN | POLLHUP | POLLERR)) &&
                                !pass(pair.client, pair.server)) ||
                               ((server.revents & (POLLIN | POLLHUP | POLLERR)) &&
                                !pass(pair.server, pair.client));
            if (ended) {
                ::close(pair.client);
                ::close(pair.server);
                pair.client = pair.server = -1;
            }
        }
        std::erase_if(pairs_, [](const Pair& pair) { return pair.client < 0; });
        if (fds[0].revents & POLLIN)
            accept();
    }
}
