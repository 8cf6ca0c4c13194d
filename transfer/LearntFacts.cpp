#include "LearntFacts.h"

#include <QHash>
#include <QSet>

#include <mutex>

namespace {

struct Memory {
    std::mutex mutex;
    QHash<QByteArray, ServerFacts> servers;
    QHash<QByteArray, TargetFacts> targets;
    QSet<QByteArray> told;
};

Memory& memory() {
    static Memory m;
    return m;
}

QByteArray targetKey(const DestinationKey& key, const QString& remotePath) {
    return key.account() + '\0' + remotePath.toUtf8();
}

} // namespace

ServerFacts RecallServer(const DestinationKey& key) {
    Memory& m = memory();
    std::lock_guard lock(m.mutex);
    return m.servers.value(key.server());
}

void LearnServer(const DestinationKey& key, const std::function<void(ServerFacts&)>& change) {
    Memory& m = memory();
    std::lock_guard lock(m.mutex);
    change(m.servers[key.server()]);
}

TargetFacts RecallTarget(const DestinationKey& key, const QString& remotePath) {
    Memory& m = memory();
    std::lock_guard lock(m.mutex);
    return m.targets.value(targetKey(key, remotePath));
}

void LearnTarget(const DestinationKey& key, const QString& remotePath, const TargetFacts& facts) {
    Memory& m = memory();
    std::lock_guard lock(m.mutex);
    m.targets.insert(targetKey(key, remotePath), facts);
}

void ForgetAfterFailure(const DestinationKey& key, const QString& remotePath) {
    Memory& m = memory();
    std::lock_guard lock(m.mutex);
    m.targets.remove(targetKey(key, remotePath));
    const auto server = m.servers.find(key.server());
    if (server != m.servers.end()) {
        server->asking = FileFactsAsking::Stat;
        server->tlsPath = SecurityPath::AsTyped;
    }
}

bool FirstTimeTold(const QByteArray& what) {
    Memory& m = memory();
    std::lock_guard lock(m.mutex);
    if (m.told.contains(what))
        return false;
    m.told.insert(what);
    return true;
}
