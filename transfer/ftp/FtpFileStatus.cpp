#include "FtpFileStatus.h"

#include <QRegularExpression>

namespace {

// One whole reply: its code, and the lines between its first and its last
// (multi-line only), without line ends or a repeated code prefix.
struct Reply {
    int code = 0;
    bool multiLine = false;
    QList<QByteArray> body;
};

QByteArray withoutLineEnd(QByteArray line) {
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    return line;
}

int codeOf(const QByteArray& line) {
    if (line.size() < 4 || (line[3] != ' ' && line[3] != '-'))
        return 0;
    for (int i = 0; i < 3; ++i) {
        if (line[i] < '0' || line[i] > '9')
            return 0;
    }
    return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

// RFC 959: a multi-line reply ends at the first line that starts with its
// code and a space. Nothing may follow the end.
std::optional<Reply> readReply(const QList<QByteArray>& lines) {
    if (lines.isEmpty())
        return std::nullopt;
    const QByteArray first = withoutLineEnd(lines.first());
    Reply reply;
    reply.code = codeOf(first);
    if (reply.code < 100 || reply.code > 599)
        return std::nullopt;
    if (first[3] == ' ') {
        if (lines.size() != 1)
            return std::nullopt;
        return reply;
    }
    reply.multiLine = true;
    const QByteArray end = first.left(3) + ' ', more = first.left(4);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = withoutLineEnd(lines[i]);
        if (line.startsWith(end) || line == first.left(3))
            return i == lines.size() - 1 ? std::optional<Reply>(reply) : std::nullopt;
        reply.body << (line.startsWith(more) ? line.mid(4) : line);
    }
    return std::nullopt;
}

bool allDigits(const QByteArray& text, qsizetype from = 0) {
    if (text.size() <= from)
        return false;
    for (qsizetype i = from; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
    }
    return true;
}

std::optional<qint64> sizeFrom(const QByteArray& text) {
    bool ok = false;
    const qint64 size = text.toLongLong(&ok);
    if (!allDigits(text) || !ok)
        return std::nullopt;
    return size;
}

// Octal, as "0644" or "07754"; pyftpdlib writes Python's "0o644".
std::optional<quint32> octalMode(QByteArray text) {
    if (text.startsWith("0o"))
        text = text.mid(2);
    if (text.isEmpty() || text.size() > 5)
        return std::nullopt;
    quint32 mode = 0;
    for (const char c : std::as_const(text)) {
        if (c < '0' || c > '7')
            return std::nullopt;
        mode = mode * 8 + quint32(c - '0');
    }
    if (mode > 07777)
        return std::nullopt;
    return mode;
}

// Owner and group names a reader can be shown and that cannot have run into
// the next field: no control characters and no spaces, a no-break space
// included, which ls's field splitting does not see as one.
bool printable(const QString& name) {
    for (const QChar c : name) {
        if (c.category() == QChar::Other_Control || c.isSpace())
            return false;
    }
    return true;
}

QString lastPart(const QString& path) {
    return path.section(u'/', -1);
}

// "-rwsr-x--T": the permission bits, setuid, setgid and sticky included.
quint32 modeFromText(QStringView bits) {
    quint32 mode = 0;
    for (int who = 0; who < 3; ++who) {
        const QChar r = bits[who * 3], w = bits[who * 3 + 1], x = bits[who * 3 + 2];
        const int shift = 6 - who * 3;
        if (r == u'r')
            mode |= 4u << shift;
        if (w == u'w')
            mode |= 2u << shift;
        if (x == u'x' || x == u's' || x == u't')
            mode |= 1u << shift;
        if (x == u's' || x == u'S')
            mode |= who == 0 ? 04000u : 02000u;
        if (x == u't' || x == u'T')
            mode |= 01000u;
    }
    return mode;
}

// A name that is there, of `kind`, with nothing more told.
FileStatus existing(FileStatus::Kind kind) {
    FileStatus status;
    status.exists = true;
    status.kind = kind;
    return status;
}

} // namespace

std::optional<FileStatus> StatusFromMlst(const QList<QByteArray>& lines) {
    const auto reply = readReply(lines);
    if (!reply)
        return std::nullopt;
    if (reply->code == 550)
        return FileStatus{};
    if (reply->code != 250 || !reply->multiLine)
        return std::nullopt;

    // RFC 3659: exactly one line of status, led by a space.
    QByteArray entry;
    for (const QByteArray& line : reply->body) {
        if (!line.startsWith(' '))
            continue;
        if (!entry.isEmpty())
            return std::nullopt;
        entry = line.mid(1);
    }
    // Fact values hold no space: the first one ends the status.
    const qsizetype gap = entry.indexOf(' ');
    if (gap <= 0 || entry[gap - 1] != ';' || gap + 1 >= entry.size())
        return std::nullopt;

    FileStatus status;
    status.exists = true;
    QByteArray type, typeText, uid, gid, owner, group;
    for (const QByteArray& fact : entry.left(gap - 1).split(';')) {
        const qsizetype equals = fact.indexOf('=');
        if (equals <= 0)
            return std::nullopt;
        const QByteArray name = fact.left(equals).toLower();
        const QByteArray value = fact.mid(equals + 1);
        if (name == "type") {
            type = value.toLower();
            typeText = value;
        } else if (name == "size") {
            if (!(status.size = sizeFrom(value)))
                return std::nullopt;
        } else if (name == "unix.mode") {
            if (!(status.mode = octalMode(value)))
                return std::nullopt;
        } else if (name == "unix.uid") {
            uid = value;
        } else if (name == "unix.gid") {
            gid = value;
        } else if (name == "unix.owner") {
            owner = value;
        } else if (name == "unix.group") {
            group = value;
        }
    }
    if (type.isEmpty())
        return std::nullopt;
    // RFC 3659's types, and the "OS.unix=slink:<target>" or
    // "OS.unix=symlink" that servers give a link.
    if (type == "dir" || type == "cdir" || type == "pdir") {
        status.kind = FileStatus::Kind::Folder;
    } else if (type.startsWith("os.unix=slink") || type.startsWith("os.unix=symlink")) {
        status.kind = FileStatus::Kind::Symlink;
        const qsizetype colon = type.indexOf(':');
        if (colon >= 0)
            status.symlinkTarget = QString::fromUtf8(typeText.mid(colon + 1));
    } else if (type != "file") {
        status.kind = FileStatus::Kind::Other;
    }
    status.owner = QString::fromUtf8(uid.isEmpty() ? owner : uid);
    status.group = QString::fromUtf8(gid.isEmpty() ? group : gid);
    if (!printable(status.owner) || !printable(status.group))
        return std::nullopt;
    return status;
}

std::optional<FileStatus> StatusFromStat(const QList<QByteArray>& lines, const QString& path) {
    const auto reply = readReply(lines);
    if (!reply)
        return std::nullopt;
    if (reply->code == 450 || reply->code == 550) {
        // proftpd names a symlink that leads round in a loop so: a symlink,
        // though not where it leads.
        if (lines.first().contains("Too many levels of symbolic links"))
            return existing(FileStatus::Kind::Symlink);
        return FileStatus{};
    }
    if ((reply->code != 211 && reply->code != 212 && reply->code != 213) || !reply->multiLine)
        return std::nullopt;

    // Type and permissions, links, owner, group, size, date in either of
    // ls's forms ("Dec  8 12:51", "Jan 05  2020"), then the name.
    static const QRegularExpression ls(
        QStringLiteral("^([-bcdlps])([-r][-w][-xsS][-r][-w][-xsS][-r][-w][-xtT])[.+@]? +[0-9]+ +"
                       "(\\S+) +(\\S+) +([0-9]+) +(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|"
                       "Dec) +([1-9]|[012][0-9]|3[01]) +([0-9]{1,2}:[0-9]{2}|[0-9]{4}) (.+)$"));
    static const QRegularExpression total(QStringLiteral("^total [0-9]+$"));
    const QString missing = QStringLiteral(": No such file or directory");
    const QString wanted = lastPart(path);

    std::optional<FileStatus> found;
    bool said = false, unreadable = false, listedFolder = false;
    for (const QByteArray& bytes : reply->body) {
        const QString line = QString::fromUtf8(bytes).trimmed();
        if (line.isEmpty() || total.match(line).hasMatch())
            continue;
        const auto match = ls.match(line);
        if (!match.hasMatch()) {
            if (line.endsWith(missing) && lastPart(line.chopped(missing.size())) == wanted)
                said = true;
            else
                unreadable = true;
            continue;
        }
        QString name = match.captured(9);
        QString target;
        const QChar type = match.captured(1).front();
        if (type == u'l') {
            const qsizetype arrow = name.indexOf(QStringLiteral(" -> "));
            if (arrow >= 0) {
                target = name.mid(arrow + 4);
                name = name.left(arrow);
            }
        }
        if (name == u'.' && type == u'd')
            listedFolder = true;
        if (lastPart(name) != wanted)
            continue;
        // Two lines that could be it.
        const auto size = sizeFrom(match.captured(5).toLatin1());
        if (found || !size || !printable(match.captured(3)) || !printable(match.captured(4)))
            return std::nullopt;
        FileStatus status = existing(FileStatus::Kind::Regular);
        status.size = size;
        status.mode = modeFromText(match.capturedView(2));
        status.owner = match.captured(3);
        status.group = match.captured(4);
        if (type == u'l') {
            status.kind = FileStatus::Kind::Symlink;
            status.symlinkTarget = target;
        } else if (type == u'd') {
            status.kind = FileStatus::Kind::Folder;
        } else if (type != u'-') {
            status.kind = FileStatus::Kind::Other;
        }
        found = status;
    }
    if (found)
        return found;
    // vsftpd and proftpd answer for a folder with its own entries: where
    // the name is not among them, it is that folder.
    if (listedFolder)
        return existing(FileStatus::Kind::Folder);
    if (said)
        return FileStatus{};
    if (unreadable || path.contains(u' '))
        return std::nullopt;
    return FileStatus{};
}
