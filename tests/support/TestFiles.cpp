#include "TestFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

QByteArray lines(int count, const QByteArray& tail) {
    QByteArray bytes;
    for (int i = 0; i < count; ++i)
        bytes += "Channel " + QByteArray::number(i) + tail;
    return bytes;
}

} // namespace

QByteArray ChannelList(int count) {
    return lines(count, "\n");
}

QByteArray ChannelList(int count, int version) {
    return lines(count, " v" + QByteArray::number(version) + '\n');
}

QByteArray AccentedChannelList(int count) {
    return lines(count, " \xc3\xa9\r\n");
}

bool WriteLocalFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QString WrittenLocalFile(const QString& path, const QByteArray& bytes) {
    if (!QDir().mkpath(QFileInfo(path).absolutePath()) || !WriteLocalFile(path, bytes))
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

bool LocalFolder::clear() const {
    const auto through = QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
    const auto readable = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup |
                          QFile::ReadOther | through;
    return QFile::setPermissions(root_.path(), QFile::ReadOwner | QFile::WriteOwner | through) &&
           QDir(path_).removeRecursively() && QDir().mkpath(path_) &&
           QFile::setPermissions(path_, readable);
}
