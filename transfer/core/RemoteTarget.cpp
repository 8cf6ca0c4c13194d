#include "RemoteTarget.h"

#include <QHostAddress>

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
        if (c.isSpace() || c.category() == QChar::Other_Control ||
            QStringLiteral("/\\?#@[]:%").contains(c))
            return false;
    }
    return true;
}

// An IPv6 address and nothing else: QHostAddress alone also takes a scope
// id of any characters after "%", "@" and "/" among them, and ignores what
// follows a NUL.
bool isIpv6Address(const QString& text) {
    for (const QChar c : text) {
        if (!(c.isDigit() || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F') || c == u':' ||
              c == u'.'))
            return false;
    }
    return QHostAddress(text).protocol() == QAbstractSocket::IPv6Protocol;
}

struct Scheme {
    const char* name;
    Transport transport;
    quint16 defaultPort;
};

constexpr Scheme kSchemes[] = {
    {"ftp", Transport::Ftp, 21},
    {"ftpes", Transport::FtpExplicitTls, 21},
    {"ftps", Transport::FtpImplicitTls, 990},
    {"sftp", Transport::Sftp, 22},
};

const Scheme& schemeOf(Transport transport) {
    for (const Scheme& scheme : kSchemes) {
        if (scheme.transport == transport)
            return scheme;
    }
    return kSchemes[0];
}

std::optional<Endpoint> parseAuthority(const QString& text) {
    Endpoint endpoint;
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
        if (!isIpv6Address(endpoint.host))
            return std::nullopt;
        return endpoint;
    }
    if (text.count(u':') >= 2) {
        if (!isIpv6Address(text))
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

QString bracketed(const Endpoint& endpoint) {
    return endpoint.ipv6 ? u'[' + endpoint.host + u']' : endpoint.host;
}

} // namespace

std::optional<Endpoint> ParseRemoteHost(const QString& text) {
    const qsizetype separator = text.indexOf(QStringLiteral("://"));
    if (separator < 0) {
        auto endpoint = parseAuthority(text);
        if (endpoint && !endpoint->portTyped)
            endpoint->port = schemeOf(Transport::Ftp).defaultPort;
        return endpoint;
    }
    const QString name = text.left(separator).toLower();
    for (const Scheme& scheme : kSchemes) {
        if (name != QLatin1String(scheme.name))
            continue;
        QString authority = text.mid(separator + 3);
        if (authority.endsWith(u'/'))
            authority.chop(1);
        auto endpoint = parseAuthority(authority);
        if (!endpoint)
            return std::nullopt;
        endpoint->transport = scheme.transport;
        if (!endpoint->portTyped)
            endpoint->port = scheme.defaultPort;
        return endpoint;
    }
    return std::nullopt;
}

QString FormUrl(const Endpoint& endpoint) {
    QString url = QLatin1String(schemeOf(endpoint.transport).name) + QStringLiteral("://");
    url += bracketed(endpoint);
    if (endpoint.portTyped)
        url += u':' + QString::number(endpoint.port);
    return url + u'/';
}

std::optional<Endpoint> ParseUrl(const QString& url) {
    if (!url.contains(QStringLiteral("://")) || !url.endsWith(u'/'))
        return std::nullopt;
    return ParseRemoteHost(url);
}

bool HasUnsafeText(const QString& text) {
    for (const QChar c : text) {
        if (c == u'\r' || c == u'\n' || c == QChar(0))
            return true;
    }
    return false;
}

QString RemoteFolderOf(const QString& remoteFileName) {
    return remoteFileName.left(remoteFileName.lastIndexOf(u'/') + 1);
}

QString VisibleTemporaryNameFor(const QString& remoteFileName, const QString& token) {
    return remoteFileName + u'.' + token + QStringLiteral(".part");
}

QString TemporaryNameFor(const QString& remoteFileName, const QString& token) {
    const QString dir = RemoteFolderOf(remoteFileName);
    return dir + u'.' + remoteFileName.mid(dir.size()) + u'.' + token + QStringLiteral(".part");
}
