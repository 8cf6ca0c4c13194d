#pragma once

#include <QByteArray>

#include <atomic>

// One publish at a time per destination and remote name, in this program:
// uploads of one window overlap (Upload pressed while the timer's upload
// runs), and two publishes to one file would race each other's removal and
// rename, and each learn from a refusal the other caused. A publish takes
// its turn for as long as it runs; the next waits for it, or for its own
// abort.
class DestinationTurn {
public:
    DestinationTurn(const QByteArray& destination, const std::atomic<bool>& abort);
    ~DestinationTurn();
    DestinationTurn(const DestinationTurn&) = delete;
    DestinationTurn& operator=(const DestinationTurn&) = delete;

    // False where the publish was aborted before its turn came.
    bool taken() const { return taken_; }

private:
    QByteArray destination_;
    bool taken_ = false;
};
