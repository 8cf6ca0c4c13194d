#pragma once

#include <QtGlobal>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

// Passes TCP connections on 127.0.0.1 to a server's port, on a thread of its
// own, and can stop passing bytes on the connections it carries without
// closing them: a connection a NAT box or a firewall dropped without a word.
class TcpForwarder {
public:
    explicit TcpForwarder(quint16 targetPort) : target_(targetPort) {}
    ~TcpForwarder();
    TcpForwarder(const TcpForwarder&) = delete;
    TcpForwarder& operator=(const TcpForwarder&) = delete;

    // Listens on a free port; false where it cannot.
    bool start();
    quint16 port() const { return port_; }
    // Connections accepted so far.
    int connections() const { return accepted_.load(); }
    // Every connection open now passes nothing more, either way, and stays
    // open; later ones are passed on as before.
    void silence();
    // Connections from now on go to another port: a server that changed
    // hands, or someone on the path who took its place.
    void retarget(quint16 port) { target_.store(port); }

private:
    struct Pair {
        int client = -1;
        int server = -1;
        bool silent = false;
    };
    void run(std::stop_token stop);
    void accept();
    // Passes what `from` has to `to`; false once either side has ended.
    static bool pass(int from, int to);

    std::atomic<quint16> target_;
    quint16 port_ = 0;
    int listener_ = -1;
    std::atomic<int> accepted_{0};
    std::mutex mutex_; // the pairs
    std::vector<Pair> pairs_;
    std::jthread thread_;
};
