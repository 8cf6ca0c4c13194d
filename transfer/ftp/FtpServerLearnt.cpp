#include "FtpServerLearnt.h"

#include "Learnt.h"

#include <QHash>

#include <mutex>

namespace {

struct Memory {
    Memory() {
        // Forgotten with the core's own, as a new start of the program.
        OnForgetEverything([this] {
            std::lock_guard lock(mutex);
            servers.clear();
        });
    }
    std::mutex mutex;
    QHash<QByteArray, FtpServerLearnt> servers;
};

Memory& memory() {
    static Memory m;
    return m;
}

} // namespace

FtpServerLearnt RecallFtpServer(const DestinationKey& key) {
    Memory& m = memory();
    std::lock_guard lock(m.mutex);
    return m.servers.value(key.server());
}

void LearnFtpServer(const DestinationKey& key,
                    const std::function<void(FtpServerLearnt&)>& change) {
    Memory& m = memory();
    std::lock_guard lock(m.mutex);
    change(m.servers[key.server()]);
}

void ForgetFtpServerAfterFailure(const DestinationKey& key) {
    Memory& m = memory();
    std::lock_guard lock(m.mutex);
    const auto server = m.servers.find(key.server());
    if (server != m.servers.end())
        server->asking = StatusAsking::Stat;
}
