#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

// The channel list as the tests publish it: `lines` lines "Channel <n>".
QByteArray ChannelList(int lines);
// The same, each line naming `version`: one publish's list never equals
// another's.
QByteArray ChannelList(int lines, int version);
// Lines with an accented letter and CRLF endings, which a transfer that
// changes line ends or characters would not leave as they are.
QByteArray AccentedChannelList(int lines = 50);

// Writes a local file for an upload to send.
bool WriteLocalFile(const QString& path, const QByteArray& bytes);
// The same, for a test that cannot go on without the file: its folder is
// made first. Returns the path.
QString WrittenLocalFile(const QString& path, const QByteArray& bytes);

// A folder for a suite's local files, emptied before each test. Another user
// can read in it, for the tests that upload as one.
class LocalFolder {
public:
    bool isValid() const { return root_.isValid(); }
    // Removes every file, for the next test.
    bool clear() const;
    QString path() const { return path_; }
    QString filePath(const QString& name) const { return path_ + u'/' + name; }
    // Writes `name` in the folder and returns its path.
    QString write(const QString& name, const QByteArray& bytes) const {
        return WrittenLocalFile(filePath(name), bytes);
    }

private:
    QTemporaryDir root_;
    // Beneath the temporary folder, whose own mode lets no one else in.
    QString path_ = root_.filePath(QStringLiteral("files"));
};
