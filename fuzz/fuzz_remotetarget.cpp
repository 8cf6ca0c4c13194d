// libFuzzer target for the pure text handling in transfer/core/RemoteTarget.h,
// transfer/PutOperation.h, transfer/ftp/FtpUrl.h, transfer/ftp/FtpFileStatus.h
// and transfer/ftp/FtpListing.h. Every input goes through each function; a
// broken property aborts with the input.
#include "FtpFileStatus.h"
#include "FtpListing.h"
#include "FtpUrl.h"
#include "PutOperation.h"
#include "RemoteTarget.h"

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

QString escaped(const QString& text) {
    QString out;
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || (c.unicode() >= 0x7f && c.unicode() < 0xa0) || c == u'\\')
            out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

[[noreturn]] void broken(const char* property, const QString& input, const QString& detail) {
    std::fprintf(stderr, "broken: %s\n  input:  \"%s\"\n  result: \"%s\"\n", property,
                 qUtf8Printable(escaped(input)), qUtf8Printable(escaped(detail)));
    std::abort();
}

bool isControl(QChar c) {
    return c.category() == QChar::Other_Control;
}

bool sameEndpoint(const Endpoint& a, const Endpoint& b) {
    return a.transport == b.transport && a.host == b.host && a.port == b.port &&
           a.portTyped == b.portTyped && a.ipv6 == b.ipv6;
}

quint16 defaultPort(Transport transport) {
    switch (transport) {
    case Transport::FtpImplicitTls:
        return 990;
    case Transport::Sftp:
        return 22;
    default:
        return 21;
    }
}

// A URL handed on must name exactly the host: no user part, nothing that
// could end it early or smuggle a command.
void checkUrlText(const QString& input, const QString& url) {
    for (const QChar c : url) {
        if (c == u'@' || isControl(c) || c.isSpace())
            broken("a URL carries '@', a space or a control character", input, url);
    }
}

void checkEndpoint(const QString& input, const Endpoint& endpoint) {
    if (!endpoint.portTyped && endpoint.port != defaultPort(endpoint.transport))
        broken("an untyped port is not the transport's default", input, FormUrl(endpoint));
    if (endpoint.port == 0)
        broken("port 0 accepted", input, FormUrl(endpoint));
    const QString url = FormUrl(endpoint);
    checkUrlText(input, url);
    checkUrlText(input, QString::fromUtf8(CurlBaseUrl(endpoint)));
    const auto back = ParseUrl(url);
    if (!back)
        broken("a formed URL does not parse back", input, url);
    if (!sameEndpoint(endpoint, *back))
        broken("a formed URL parses back to another endpoint", input,
               url + " -> " + FormUrl(*back));
}

void checkHost(const QString& text) {
    if (const auto endpoint = ParseRemoteHost(text))
        checkEndpoint(text, *endpoint);
    if (const auto endpoint = ParseUrl(text))
        checkEndpoint(text, *endpoint);
}

// What libcurl and the server make of the path part of an ftp:// URL:
// libcurl decodes it, and a leading "%2F" names the root.
QString decodedRemote(const QByteArray& encoded) {
    return QString::fromUtf8(QByteArray::fromPercentEncoding('/' + encoded)).mid(1);
}

void checkRemotePath(const QString& text) {
    const QByteArray encoded = EncodeRemotePath(text);
    for (const char c : encoded) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                           (c >= '0' && c <= '9') || QByteArray("-._~%/").contains(c);
        if (!plain)
            broken("an encoded path holds a character a URL path must not", text,
                   QString::fromLatin1(encoded));
    }
    if (decodedRemote(encoded) != text)
        broken("an encoded path does not decode to the name", text,
               QString::fromLatin1(encoded) + " -> " + decodedRemote(encoded));
}

// Judged on the bytes that libcurl and the server get: text passed as safe
// must hold no CR, LF or NUL byte once encoded.
void checkUnsafeText(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    const bool unsafe = bytes.contains('\r') || bytes.contains('\n') || bytes.contains('\0');
    if (HasUnsafeText(text) != unsafe)
        broken("HasUnsafeText misjudges", text, unsafe ? "unsafe" : "safe");
}

// Which local names "exist" comes from the mask: a name holding n spaces is a
// regular file when bit n is set. Names are always prefixes of the names part.
void checkSplit(const QString& operation, quint8 mask) {
    const QString names = operation.mid(4);
    const auto isFile = [&](const QString& local) {
        if (!names.startsWith(local))
            broken("SplitPutOperation asked about a name it was not given", operation, local);
        return !local.isEmpty() && (mask >> (local.count(u' ') % 8) & 1) != 0;
    };
    const auto valid = [&](qsizetype space) {
        const QString remote = names.mid(space + 1);
        return isFile(names.left(space)) && !remote.isEmpty() && !remote.endsWith(u'/');
    };
    const bool verb = operation.startsWith(QStringLiteral("Put "), Qt::CaseInsensitive);
    const auto put = SplitPutOperation(operation, isFile);
    if (!put) {
        if (!verb)
            return;
        for (qsizetype space = names.indexOf(u' '); space >= 0;
             space = names.indexOf(u' ', space + 1)) {
            if (valid(space))
                broken("SplitPutOperation missed a split", operation, names.left(space));
        }
        return;
    }
    if (!verb)
        broken("SplitPutOperation took another verb", operation, put->localFileName);
    if (names != put->localFileName + u' ' + put->remoteFileName)
        broken("the split parts do not make up the operation", operation,
               put->localFileName + " | " + put->remoteFileName);
    const qsizetype at = put->localFileName.size();
    if (!valid(at))
        broken("SplitPutOperation split where no file is", operation, put->localFileName);
    // The last valid space wins.
    for (qsizetype space = names.indexOf(u' ', at + 1); space >= 0;
         space = names.indexOf(u' ', space + 1)) {
        if (valid(space))
            broken("SplitPutOperation did not split at the last valid space", operation,
                   put->localFileName);
    }
}

void checkTemporaryName(const QString& text) {
    const QString name = TemporaryNameFor(text, QStringLiteral("1f"));
    const qsizetype slash = text.lastIndexOf(u'/');
    if (!name.startsWith(text.left(slash + 1) + u'.') || !name.endsWith(QStringLiteral(".1f.part")))
        broken("the temporary name is not beside the final one", text, name);
}

QString factsText(const std::optional<FileStatus>& facts) {
    if (!facts)
        return QStringLiteral("nothing");
    return QStringLiteral("exists %1 size %2 mode %3 owner \"%4\" group \"%5\"")
        .arg(facts->exists)
        .arg(facts->size ? *facts->size : -1)
        .arg(facts->mode ? qint64(*facts->mode) : -1)
        .arg(facts->owner, facts->group);
}

void checkFacts(const QString& input, const std::optional<FileStatus>& facts, bool fromStat) {
    if (!facts)
        return;
    const QString text = factsText(facts);
    if (!facts->exists &&
        (facts->size || facts->mode || !facts->owner.isEmpty() || !facts->group.isEmpty()))
        broken("facts of a missing file", input, text);
    if (facts->mode && *facts->mode > 07777)
        broken("a mode beyond the permission bits", input, text);
    if (facts->size && *facts->size < 0)
        broken("a negative size", input, text);
    for (const QChar c : facts->owner + facts->group) {
        if (c.isSpace() || isControl(c))
            broken("an owner or group holding a space or a control character", input, text);
    }
    // A folder listed by its own entries, or a link in a loop, is told
    // with nothing more; a file only by its whole ls line.
    const bool some = facts->size || facts->mode || !facts->owner.isEmpty();
    const bool all = facts->size && facts->mode && !facts->owner.isEmpty();
    if (fromStat && facts->exists && !all &&
        (some || facts->kind == FileStatus::Kind::Regular))
        broken("an ls line read in part", input, text);
}

// The first line names the path asked about, the others are the reply;
// the answer must not depend on whether lines end in CRLF or LF.
void checkReplies(const QByteArray& bytes) {
    QList<QByteArray> lines;
    for (qsizetype from = 0; from < bytes.size();) {
        const qsizetype end = bytes.indexOf('\n', from);
        const qsizetype next = end < 0 ? bytes.size() : end + 1;
        lines << bytes.mid(from, next - from);
        from = next;
    }
    if (lines.isEmpty())
        return;
    const QString path = QString::fromUtf8(lines.takeFirst()).trimmed();
    QList<QByteArray> crlf;
    for (QByteArray line : std::as_const(lines)) {
        while (line.endsWith('\n') || line.endsWith('\r'))
            line.chop(1);
        crlf << line + "\r\n";
    }
    const QString input = QString::fromUtf8(bytes);
    const auto mlst = StatusFromMlst(lines);
    const auto stat = StatusFromStat(lines, path);
    checkFacts(input, mlst, false);
    checkFacts(input, stat, true);
    if (factsText(mlst) != factsText(StatusFromMlst(crlf)))
        broken("MLST facts depend on the line ends", input, factsText(mlst));
    if (factsText(stat) != factsText(StatusFromStat(crlf, path)))
        broken("STAT facts depend on the line ends", input, factsText(stat));
}

QString entriesText(const QList<ListedEntry>& entries) {
    QStringList out;
    for (const ListedEntry& entry : entries) {
        QString text = QString::number(int(entry.kind)) + u' ' + QString::fromLatin1(entry.name);
        if (const auto& time = entry.changed)
            text += QStringLiteral(" @%1/%2/%3/%4")
                        .arg(time->seconds)
                        .arg(time->precision)
                        .arg(time->yearKnown)
                        .arg(time->local);
        out << text;
    }
    return out.join(u'|');
}

bool sameEntry(const ListedEntry& a, const ListedEntry& b) {
    const auto& x = a.changed;
    const auto& y = b.changed;
    return a.name == b.name && a.kind == b.kind && x.has_value() == y.has_value() &&
           (!x || (x->seconds == y->seconds && x->precision == y->precision &&
                   x->yearKnown == y->yearKnown && x->local == y->local));
}

// Names and times a listing may give: a name that can be sent back to the
// server, a time of one of the forms its format has (ls's dates in local
// time, those without a year counted in 2000).
bool possibleName(const QByteArray& name) {
    return !name.isEmpty() && name != "." && name != ".." && !name.contains('\r') &&
           !name.contains('\n') && !name.contains('\0') && !name.contains('/');
}

bool possibleTime(FtpListingReader::Format format, const ListedTime& time) {
    const qint64 year2000 = 946684800, year2001 = 978307200;
    if (format == FtpListingReader::Format::Mlsd)
        return time.yearKnown && time.precision == 1 && !time.local;
    if (!time.local)
        return false;
    if (time.yearKnown)
        return time.precision == 86400 && time.seconds % 86400 == 0;
    return time.precision == 60 && time.seconds % 60 == 0 && time.seconds >= year2000 &&
           time.seconds < year2001;
}

// Which names the reader is to keep; every name it asks about must be
// possible.
bool wantedName(const QByteArray& bytes, const QByteArray& name) {
    if (!possibleName(name))
        broken("the listing reader offered an impossible name", QString::fromLatin1(bytes),
               QString::fromLatin1(name));
    return (name.back() & 1) == 0;
}

// The input as an MLSD and as a LIST listing, fed whole and in two pieces
// cut where its first two bytes say: the same entries, each a wanted name
// of the input, and as many lines as it has line ends.
void checkListing(const QByteArray& bytes) {
    const qsizetype cut =
        bytes.size() < 2 ? 0 : (quint8(bytes[0]) | quint8(bytes[1]) << 8) % (bytes.size() + 1);
    const qint64 lines = bytes.count('\n') + (bytes.isEmpty() || bytes.endsWith('\n') ? 0 : 1);
    const auto wanted = [&](const QByteArray& name) { return wantedName(bytes, name); };
    for (const auto format : {FtpListingReader::Format::Mlsd, FtpListingReader::Format::List}) {
        FtpListingReader whole(format, wanted), split(format, wanted);
        whole.feed(bytes);
        whole.finish();
        split.feed(QByteArrayView(bytes).first(cut));
        split.feed(QByteArrayView(bytes).sliced(cut));
        split.finish();
        const auto& entries = whole.entries();
        if (!std::equal(entries.begin(), entries.end(), split.entries().begin(),
                        split.entries().end(), sameEntry))
            broken("a listing read in two pieces differs", QString::fromLatin1(bytes),
                   entriesText(entries) + " <> " + entriesText(split.entries()));
        if (whole.lines() != lines || split.lines() != lines)
            broken("a listing's lines miscounted", QString::fromLatin1(bytes),
                   QString::number(whole.lines()) + " " + QString::number(split.lines()));
        if (entries.size() > FtpListingReader::MaxKept)
            broken("a listing kept more than MaxKept entries", QString::fromLatin1(bytes),
                   QString::number(entries.size()));
        for (const ListedEntry& entry : entries) {
            if (!wantedName(bytes, entry.name) || !bytes.contains(entry.name))
                broken("a listing kept a name not wanted or not in it", QString::fromLatin1(bytes),
                       entriesText(entries));
            if (entry.changed && !possibleTime(format, *entry.changed))
                broken("a listed time of the wrong form", QString::fromLatin1(bytes),
                       entriesText({entry}));
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    checkHost(text);
    checkRemotePath(text);
    checkUnsafeText(text);
    checkTemporaryName(text);
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    checkReplies(bytes);
    checkListing(bytes);
    if (size > 0) {
        const QString rest = QString::fromUtf8(reinterpret_cast<const char*>(data + 1),
                                               static_cast<qsizetype>(size - 1));
        checkSplit(rest, data[0]);
        checkSplit(QStringLiteral("Put ") + rest, data[0]);
    }
    return 0;
}
