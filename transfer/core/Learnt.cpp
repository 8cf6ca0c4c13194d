#include "Learnt.h"

#include "PublishClock.h"

#include <QHash>
#include <QSet>

#include <algorithm>
#include <mutex>

namespace {

struct Memory {
    std::mutex mutex;
    QHash<QByteArray, TargetLearnt> targets;
    QSet<QByteArray> told;
    QHash<QByteArray, QList<OwedCopy>> owed; // by account and folder
    // Accounts and lists whose folder was listed, with when to list
    // again, if ever.
    QHash<QByteArray, std::optional<qint64>> listed;
    QList<std::function<void()>> alsoForget; // the engines' own stores
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

TargetLearnt RecallTarget(const DestinationKey& key, const QString& remotePath) {
    Memory& m = memory();
    std::lock_guard lock(m.mutex);
    return m.targets.value(targetKey(key, remotePath));
}

void LearnTarget(const DestinationKey& key, const QString& remotePath,
                 const std::function<void(TargetLearnt&)>& change) {
    Memory& m = memory();
    std::lock_guard lock(m.mutex);
    change(m.targets[targetKey(key, remotePath)]);
}

void ForgetAfterFailure(const DestinationKey& key, const QString& remotePath) {
    Memory& m = memory();
    std::lock_guard lock(m.mutex);
    m.targets.remove(targetKey(key, remotePath));
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

bool FolderListingDue(const DestinationKey& key, const QString& list) {
    Memory& m = memory();
    std::lock_guard lock(m.mutex);
    const auto listed = m.listed.constFind(folderKey(key, list));
    return listed == m.listed.cend() || (*listed && Clock().sinceBoot() >= **listed);
}

void FolderListed(const DestinationKey& key, const QString& list,
                  std::optional<qint64> againAt) {
    Memory& m = memory();
    std::lock_guard lock(m.mutex);
    m.listed.insert(folderKey(key, list), againAt);
}

void ForgetEverything() {
    Memory& m = memory();
    QList<std::function<void()>> alsoForget;
    {
        std::lock_guard lock(m.mutex);
        m.targets.clear();
        m.told.clear();
        m.owed.clear();
        m.listed.clear();
        alsoForget = m.alsoForget;
    }
    // Outside the lock: each store takes its own.
    for (const auto& forget : alsoForget)
        forget();
}

void OnForgetEverything(std::function<void()> forget) {
    Memory& m = memory();
    std::lock_guard lock(m.mutex);
    m.alsoForget.append(std::move(forget));
}

bool FirstTimeTold(const QByteArray& what) {
    Memory& m = memory();
    std::lock_guard lock(m.mutex);
    if (m.told.contains(what))
        return false;
    m.told.insert(what);
    return true;
}
