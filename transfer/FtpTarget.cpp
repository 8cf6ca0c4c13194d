#include "FtpTarget.h"

#include <QFileInfo>
#include <QHostAddress>
#include <QUrl>

#include <sys/stat.h>

namespace {

std::optional<quint16> parsePort(const QString& text) {
    bool ok = false;
    const uint port = text.toUInt(&ok, 10);
    if (!ok || port == 0 || port > 65535 || text.startsWith(u'+'))
        return std::nullopt;
    return static_cast<quint16>(port);
}

bool plausibleHostName(const QString& host) {
    if (host.isEmpty())
        return false;
    for (const QChar c : host) {
        // Anything that would change the meaning of the URL built from it.
        if (c.isSpace() || c.unicode() < 0x20 || QStringLiteral("/\\?#@[]:%").contains(c))
            return false;
    }
    return true;
}

} // namespace

std::optional<FtpEndpoint> ParseRemoteHost(const QString& text) {
    FtpEndpoint endpoint;
    if (text.startsWith(u'[')) {
        const qsizetype close = text.indexOf(u']');
        if (close < 0)
            return std::nullopt;
        endpoint.host = text.mid(1, close - 1);
        endpoint.ipv6 = true;
        const QString rest = text.mid(close + 1);
        if (!rest.isEmpty()) {
            if (!rest.startsWith(u':'))
                return std::nullopt;
            const auto port = parsePort(rest.mid(1));
            if (!port)
                return std::nullopt;
            endpoint.port = *port;
            endpoint.portTyped = true;
        }
        if (QHostAddress(endpoint.host).protocol() != QAbstractSocket::IPv6Protocol)
            return std::nullopt;
        return endpoint;
    }
    if (text.count(u':') >= 2) {
        if (QHostAddress(text).protocol() != QAbstractSocket::IPv6Protocol)
            return std::nullopt;
        endpoint.host = text;
        endpoint.ipv6 = true;
        return endpoint;
    }
    const qsizetype colon = text.indexOf(u':');
    endpoint.host = colon < 0 ? text : text.left(colon);
    if (colon >= 0) {
        const auto port = parsePort(text.mid(colon + 1));
        if (!port)
            return std::nullopt;
        endpoint.port = *port;
        endpoint.portTyped = true;
    }
    if (!plausibleHostName(endpoint.host))
        return std::nullopt;
    return endpoint;
}

QString FormUrl(const FtpEndpoint& endpoint) {
    QString url = QStringLiteral("ftp://");
    url += endpoint.ipv6 ? u'[' + endpoint.host + u']' : endpoint.host;
    if (endpoint.portTyped)
        url += u':' + QString::number(endpoint.port);
    return url + u'/';
}

std::optional<FtpEndpoint> ParseUrl(const QString& url) {
    const QString scheme = QStringLiteral("ftp://");
    if (!url.startsWith(scheme, Qt::CaseInsensitive) || !url.endsWith(u'/'))
        return std::nullopt;
    const QString authority = url.mid(scheme.size(), url.size() - scheme.size() - 1);
    if (authority.contains(u'/'))
        return std::nullopt;
    return ParseRemoteHost(authority);
}

bool HasUnsafeText(const QString& text) {
    for (const QChar c : text) {
        if (c == u'\r' || c == u'\n' || c == QChar(0))
            return true;
    }
    return false;
}

bool IsRegularFile(const QString& path) {
    if (path.isEmpty())
        return false;
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISREG(st.st_mode);
}

std::optional<PutOperation>
SplitPutOperation(const QString& operation,
                  const std::function<bool(const QString&)>& isRegularFile) {
    const QString verb = QStringLiteral("Put ");
    if (!operation.startsWith(verb, Qt::CaseInsensitive))
        return std::nullopt;
    const QString names = operation.mid(verb.size());
    for (qsizetype space = names.lastIndexOf(u' '); space > 0;
         space = names.lastIndexOf(u' ', space - 1)) {
        const QString local = names.left(space);
        const QString remote = names.mid(space + 1);
        if (remote.isEmpty() || remote.endsWith(u'/'))
            continue;
        if (isRegularFile(local))
            return PutOperation{local, remote};
    }
    return std::nullopt;
}

QByteArray EncodeRemotePath(const QString& remoteFileName) {
    QByteArray path;
    QString rest = remoteFileName;
    if (rest.startsWith(u'/')) {
        // In an ftp:// URL a leading "%2F" names the server's root directory.
        path = "%2F";
        rest.remove(0, 1);
    }
    const QStringList segments = rest.split(u'/');
    for (qsizetype i = 0; i < segments.size(); ++i) {
        if (i > 0)
            path += '/';
        path += QUrl::toPercentEncoding(segments[i]);
    }
    return path;
}

QString TemporaryNameFor(const QString& remoteFileName, const QString& token) {
    const qsizetype slash = remoteFileName.lastIndexOf(u'/');
    const QString dir = remoteFileName.left(slash + 1);
    const QString base = remoteFileName.mid(slash + 1);
    return dir + u'.' + base + u'.' + token + QStringLiteral(".part");
}
