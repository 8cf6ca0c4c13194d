#include "FtpUrl.h"

#include <QStringList>
#include <QUrl>

QByteArray CurlBaseUrl(const Endpoint& endpoint) {
    QByteArray scheme;
    switch (endpoint.transport) {
    case Transport::Ftp:
    case Transport::FtpExplicitTls:
        scheme = "ftp";
        break;
    case Transport::FtpImplicitTls:
        scheme = "ftps";
        break;
    case Transport::Sftp:
        return {};
    }
    const QString host = endpoint.ipv6 ? u'[' + endpoint.host + u']' : endpoint.host;
    return scheme + "://" + host.toUtf8() + ':' + QByteArray::number(endpoint.port) + '/';
}

QByteArray EncodeRemotePath(const QString& remoteFileName) {
    QByteArray path;
    QString rest = remoteFileName;
    const bool absolute = rest.startsWith(u'/');
    if (absolute) {
        rest.remove(0, 1);
        // In an ftp:// URL a leading "%2F" names the server's root directory.
        path = "%2F";
    }
    const QStringList segments = rest.split(u'/');
    for (qsizetype i = 0; i < segments.size(); ++i) {
        if (i > 0)
            path += '/';
        path += QUrl::toPercentEncoding(segments[i]);
    }
    return path;
}
