#include "LearntFacts.h"

#include "PublishClock.h"

#include <QHash>
#include <QSet>

#include <algorithm>
#include <mutex>

namespace {

struct Memory {
    std::mutex mutex;
    QHash<QByteArray, ServerFacts> servers;
    QHash<QByteArray, TargetFacts> targets;
    QSet<QByteArray> told;
    QHash<QByteArray, QList<OwedCopy>> owed; // by account and folder
    // Accounts and lists whose folder was looked at, with when to look
    // again, if ever.
    QHash<QByteArray, std::optional<qint64>> looked;
};

Memory& memory() {
    static Memory m;
    return m;
}

QByteArray targetKey(const DestinationKey& key, const QString& remotePath) {
    return key.account() + '\0' + remotePath.toUtf8();
}

QByteArray folderKey(const DestinationKey& key, const QString& folder) {
    return key.account() + '\0' + folder.toUtf8();
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

void LearnTarget(const DestinationKey& key, const QString& remotePath,
                 const std::function<void(TargetFacts&)>& change) {
    Memory& m = memory();
    std::lock_guard lock(m.mutex);
    change(m.targets[targetKey(key, remotePath)]);
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

void OweCopy(const DestinationKey& key, const OwedCopy& copy) {
    Memory& m = memory();
    std::lock_guard lock(m.mutex);
    QList<OwedCopy>& owed = m.owed[folderKey(key, RemoteFolderOf(copy.path))];
    const auto known = std::find_if(owed.begin(), owed.end(),
                                    [&](const OwedCopy& c) { return c.path == copy.path; });
    if (known != owed.end()) {
        known->holdsTheList = known->holdsTheList || copy.holdsTheList;
        return;
    }
    // A copy that holds the list is kept before any other.
    if (owed.size() >= MaxOwedCopies) {
        const auto oldest = std::find_if(owed.begin(), owed.end(),
                                         [](const OwedCopy& c) { return !c.holdsTheList; });
        owed.erase(oldest != owed.end() ? oldest : owed.begin());
    }
    owed.append(copy);
}

QList<OwedCopy> OwedCopiesIn(const DestinationKey& key, const QString& folder) {
    Memory& m = memory();
    std::lock_guard lock(m.mutex);
    return m.owed.value(folderKey(key, folder));
}

QList<OwedCopy> OwedCopiesAnywhere(const DestinationKey& key) {
    Memory& m = memory();
    std::lock_guard lock(m.mutex);
    const QByteArray account = key.account() + '\0';
    QList<OwedCopy> all;
    for (auto it = m.owed.cbegin(); it != m.owed.cend(); ++it) {
        if (it.key().startsWith(account))
            all << *it;
    }
    return all;
}

void CopySettled(const DestinationKey& key, const QString& path) {
    Memory& m = memory();
    std::lock_guard lock(m.mutex);
    const QByteArray folder = folderKey(key, RemoteFolderOf(path));
    const auto owed = m.owed.find(folder);
    if (owed == m.owed.end())
        return;
    owed->removeIf([&](const OwedCopy& c) { return c.path == path; });
    if (owed->isEmpty())
        m.owed.erase(owed);
}

void CopyRefused(const DestinationKey& key, const QString& path) {
    Memory& m = memory();
    std::lock_guard lock(m.mutex);
    const auto owed = m.owed.find(folderKey(key, RemoteFolderOf(path)));
    if (owed == m.owed.end())
        return;
    for (qsizetype i = 0; i < owed->size(); ++i) {
        OwedCopy& copy = (*owed)[i];
        if (copy.path == path && !copy.holdsTheList && ++copy.refusals >= MaxOwedRefusals)
            owed->removeAt(i--);
    }
}

bool FolderLookDue(const DestinationKey& key, const QString& list) {
    Memory& m = memory();
    std::lock_guard lock(m.mutex);
    const auto looked = m.looked.constFind(folderKey(key, list));
    return looked == m.looked.cend() || (*looked && Clock().sinceBoot() >= **looked);
}

void FolderLooked(const DestinationKey& key, const QString& list,
                  std::optional<qint64> againAt) {
    Memory& m = memory();
    std::lock_guard lock(m.mutex);
    m.looked.insert(folderKey(key, list), againAt);
}

void ForgetEverything() {
    Memory& m = memory();
    std::lock_guard lock(m.mutex);
    m.servers.clear();
    m.targets.clear();
    m.told.clear();
    m.owed.clear();
    m.looked.clear();
}

bool FirstTimeTold(const QByteArray& what) {
    Memory& m = memory();
    std::lock_guard lock(m.mutex);
    if (m.told.contains(what))
        return false;
    m.told.insert(what);
    return true;
}
