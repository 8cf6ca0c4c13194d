#include "SeededCopies.h"

#include "ServerLauncher.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <pwd.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <ctime>

namespace {

// Three hours: well past the longest a live publish stays silent.
constexpr qint64 Aged = 3 * 3600;

} // namespace

bool AgeFile(const QString& path, qint64 secondsAgo) {
    const time_t then = std::time(nullptr) - secondsAgo;
    const timeval times[2] = {{then, 0}, {then, 0}};
    return ::lutimes(QFile::encodeName(path).constData(), times) == 0;
}

std::optional<SeededCopies> SeedCopies(const QString& root, const QString& relDir,
                                       const QString& owner, const QString& finalBase) {
    SeededCopies s;
    s.dir = root + u'/' + relDir;
    s.aged = {'.' + finalBase + ".0123456789abcdef.part", finalBase + ".fedcba9876543210.part",
              '.' + finalBase + ".abc12345d.part"};
    s.fresh = {'.' + finalBase + ".2222222222222222.part"};
    s.decoys = {finalBase + ".bak",
                '.' + finalBase + ".swp",
                finalBase + ".part",
                finalBase + ".filepart",
                '.' + finalBase + ".0123456789abcdef.partial",
                finalBase + ".0123456789ABCDEF.part",
                '.' + finalBase + ".1234.part",
                "other.txt.0123456789abcdef.part",
                '.' + finalBase + ".1111111111111111.part"}; // the last a folder
    for (const QString& name : s.aged + s.fresh + s.decoys.mid(0, s.decoys.size() - 1)) {
        const QByteArray bytes = "left by someone: " + name.toUtf8() + '\n';
        if (!WriteIn(root, relDir + u'/' + name, bytes, owner))
            return std::nullopt;
        s.bytes.insert(name, bytes);
    }
    const QString folder = s.dir + u'/' + s.decoys.last();
    if (!QDir().mkpath(folder))
        return std::nullopt;
    if (!owner.isEmpty()) {
        const passwd* account = getpwnam(owner.toLocal8Bit().constData());
        if (!account || ::chown(QFile::encodeName(folder).constData(), account->pw_uid,
                                account->pw_gid) != 0)
            return std::nullopt;
    }
    for (const QString& name : s.aged + s.decoys) {
        if (!AgeFile(s.dir + u'/' + name, Aged))
            return std::nullopt;
    }
    return s;
}

QString SeededCopies::check(const QStringList& kept) const {
    QStringList wrong;
    for (const QString& name : aged) {
        const bool there = QFileInfo::exists(dir + u'/' + name);
        if (there != kept.contains(name))
            wrong << (there ? "aged copy still there: " : "aged copy removed: ") + name;
    }
    for (const QString& name : fresh + decoys) {
        const QFileInfo info(dir + u'/' + name);
        if (!info.exists() && !info.isSymLink())
            wrong << "removed: " + name;
        else if (bytes.contains(name) && BytesIn(dir, name) != bytes.value(name))
            wrong << "changed: " + name;
        else if (!bytes.contains(name) && !info.isDir())
            wrong << "no longer a folder: " + name;
    }
    return wrong.join("; ");
}
