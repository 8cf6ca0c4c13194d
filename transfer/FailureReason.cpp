#include "FailureReason.h"

#include "FailureWords.h"
#include "LogText.h"
#include "ResponseCodes.h"
#include "SftpFailureWords.h"

#include <curl/curl.h>

namespace {

class Words : public FailureWords {
public:
    using FailureWords::FailureWords;

    QString forCode(qint32 code) const {
        using namespace ResponseCodes;
        switch (code) {
        case Ok:
            return {};
        case NoOperation:
            return QStringLiteral("no upload was started");
        case Running:
            return QStringLiteral("the upload has not finished");
        case UnsafeText:
            return QStringLiteral("the host, user name, password or a path holds a line break or "
                                  "NUL; nothing was sent");
        case BadOperation:
        case LocalFileUnreadable:
            return QStringLiteral("the local file %1 is missing or unreadable: %2")
                .arg(quoted(job_.localFileName), localError());
        case SizeMismatch:
            return QStringLiteral("the server kept %1 bytes where %2 were sent; the copy "
                                  "published before stays")
                .arg(r_.storedSize)
                .arg(r_.sentSize);
        case Aborted:
            return QStringLiteral("ended before it finished, as the program was closing");
        case BadHost:
            return QStringLiteral("%1 is not a host name the program can use")
                .arg(quoted(job_.endpoint.host));
        case Busy:
            return QStringLiteral("another upload was still running on the same component");
        case LocalFileChanged:
            return QStringLiteral("the local file %1 changed while it was sent; the copy "
                                  "published before stays, and the next upload sends the "
                                  "finished file")
                .arg(quoted(job_.localFileName));
        case TlsDowngrade:
            return tlsDowngrade() + QStringLiteral("; nothing was sent in clear text");
        case NotAFile:
            return QStringLiteral("%1 on the server is a folder or another kind of file than a "
                                  "list can replace; nothing was changed")
                .arg(quoted(job_.remoteFileName));
        case LinkLoop:
            return QStringLiteral("%1 on the server is a link that leads round in a loop, or "
                                  "through too many links; nothing was changed")
                .arg(quoted(job_.remoteFileName));
        case NoSession:
            return QStringLiteral("no connection could be set up: the system is out of "
                                  "resources");
        default:
            if (const QString sftp = SftpFailureWords(code, *this); !sftp.isEmpty())
                return sftp + details();
            // A code nothing was noted for still reads as a failure.
            if (r_.curlCode == CURLE_OK)
                return QStringLiteral("failed with response code %1").arg(code) + details();
            return forCurl() + details();
        }
    }

private:
    QString localError() const {
        if (r_.localErrno < 0)
            return QStringLiteral("not a regular file");
        return r_.localErrno > 0 ? systemError(r_.localErrno) : QStringLiteral("unknown reason");
    }

    // Why a server held to TLS was refused.
    QString tlsDowngrade() const {
        switch (r_.curlCode) {
        case CURLE_PEER_FAILED_VERIFICATION:
            return QStringLiteral("the server showed a verified certificate earlier in this run, "
                                  "and now one that cannot be verified");
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
            return QStringLiteral("the server showed another certificate than the first one seen "
                                  "from it in this run: someone on the way may pose as it");
        case CURLE_USE_SSL_FAILED:
            return QStringLiteral("the server took TLS earlier in this run and has stopped "
                                  "offering it: it now refuses TLS");
        default:
            return QStringLiteral("the server took TLS earlier in this run and has stopped "
                                  "offering it: its TLS broke off");
        }
    }

    QString curlSays() const { return QString::fromUtf8(r_.curlError).toLower(); }

    QString timedOut() const {
        const QString says = curlSays();
        if (says.contains(QLatin1String("connect")))
            return connectTimedOut();
        if (says.contains(QLatin1String("too slow")))
            return stalled();
        return noReply();
    }

    QString forCurl() const {
        switch (r_.curlCode) {
        case CURLE_COULDNT_RESOLVE_HOST:
            return hostNotFound();
        case CURLE_COULDNT_CONNECT:
            return cannotConnect();
        case CURLE_OPERATION_TIMEDOUT:
            return timedOut();
        case CURLE_LOGIN_DENIED:
            return loginRefused();
        case CURLE_USE_SSL_FAILED:
            return QStringLiteral("TLS refused by the server; nothing else was sent");
        case CURLE_PEER_FAILED_VERIFICATION:
            if (curlSays().contains(QLatin1String("subject name")) ||
                curlSays().contains(QLatin1String("does not match")))
                return QStringLiteral("the server's certificate was issued for another name "
                                      "than %1")
                    .arg(quoted(job_.endpoint.host));
            return QStringLiteral("the server's certificate is not trusted");
        case CURLE_SSL_CONNECT_ERROR:
            return QStringLiteral("the TLS handshake with the server failed");
        case CURLE_REMOTE_ACCESS_DENIED:
        case CURLE_UPLOAD_FAILED:
        case CURLE_REMOTE_FILE_NOT_FOUND:
            return refused();
        case CURLE_QUOTE_ERROR:
            // Before a store, the only command that must succeed is the
            // check that the remote folder is there.
            if (storing())
                return QStringLiteral("the remote folder %1 does not exist or cannot be "
                                      "entered")
                    .arg(remoteFolder());
            return refusedAction();
        case CURLE_PARTIAL_FILE:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_FTP_ACCEPT_FAILED:
        case CURLE_FTP_COULDNT_RETR_FILE:
            return connectionLost();
        case CURLE_ABORTED_BY_CALLBACK:
            return QStringLiteral("ended before it finished, as the program was closing");
        default:
            return QString::fromUtf8(curl_easy_strerror(static_cast<CURLcode>(r_.curlCode)));
        }
    }

    // The server's reply and libcurl's account, where they add something.
    QString details() const {
        const QByteArray secret = job_.password.toUtf8();
        QString text;
        if (r_.replyCode >= 400 && !r_.serverReply.isEmpty())
            text += QStringLiteral("; the server said ") +
                    quoted(QString::fromUtf8(MaskSecret(r_.serverReply, secret)));
        if (!r_.curlError.isEmpty())
            text += QStringLiteral(" (") + LogText(MaskSecret(r_.curlError, secret)) + u')';
        return text + SftpSaid(*this);
    }
};

} // namespace

QString FailureReason(qint32 code, const PublishReport& report, const PublishJob& job) {
    return Words(report, job).forCode(code);
}
