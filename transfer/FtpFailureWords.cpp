#include "FtpFailureWords.h"

#include "FtpFailure.h"
#include "LogText.h"

#include <curl/curl.h>

namespace {

int curlCode(const FailureWords& w) {
    const FtpFailure* failure = FtpFailureOf(w.report());
    return failure ? failure->curlCode : CURLE_OK;
}

QString curlSays(const FailureWords& w) {
    const FtpFailure* failure = FtpFailureOf(w.report());
    return failure ? QString::fromUtf8(failure->curlError).toLower() : QString();
}

QString timedOut(const FailureWords& w) {
    const QString says = curlSays(w);
    if (says.contains(QLatin1String("connect")))
        return w.connectTimedOut();
    if (says.contains(QLatin1String("too slow")))
        return w.stalled();
    return w.noReply();
}

} // namespace

QString FtpFailureWhy(const FailureWords& w) {
    switch (const int code = curlCode(w)) {
    case CURLE_OK:
        return {};
    case CURLE_COULDNT_RESOLVE_HOST:
        return w.hostNotFound();
    case CURLE_COULDNT_CONNECT:
        return w.cannotConnect();
    case CURLE_OPERATION_TIMEDOUT:
        return timedOut(w);
    case CURLE_LOGIN_DENIED:
        return w.loginRefused();
    case CURLE_USE_SSL_FAILED:
        return QStringLiteral("TLS refused by the server; nothing else was sent");
    case CURLE_PEER_FAILED_VERIFICATION:
        if (curlSays(w).contains(QLatin1String("subject name")) ||
            curlSays(w).contains(QLatin1String("does not match")))
            return QStringLiteral("the server's certificate was issued for another name "
                                  "than %1")
                .arg(FailureWords::quoted(w.job().endpoint.host));
        return QStringLiteral("the server's certificate is not trusted");
    case CURLE_SSL_CONNECT_ERROR:
        return QStringLiteral("the TLS handshake with the server failed");
    case CURLE_REMOTE_ACCESS_DENIED:
    case CURLE_UPLOAD_FAILED:
    case CURLE_REMOTE_FILE_NOT_FOUND:
        return w.refused();
    case CURLE_QUOTE_ERROR:
        // Before a store, the only command that must succeed is the
        // check that the remote folder is there.
        if (w.storing())
            return QStringLiteral("the remote folder %1 does not exist or cannot be "
                                  "entered")
                .arg(w.remoteFolder());
        return w.refusedAction();
    case CURLE_PARTIAL_FILE:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_FTP_ACCEPT_FAILED:
    case CURLE_FTP_COULDNT_RETR_FILE:
        return w.connectionLost();
    case CURLE_ABORTED_BY_CALLBACK:
        return w.aborted();
    default:
        return QString::fromUtf8(curl_easy_strerror(static_cast<CURLcode>(code)));
    }
}

QString FtpFailureDetail(const FailureWords& w) {
    const FtpFailure* failure = FtpFailureOf(w.report());
    if (!failure || failure->curlError.isEmpty())
        return {};
    return QStringLiteral(" (") +
           LogText(MaskSecret(failure->curlError, w.job().password.toUtf8())) + u')';
}

QString FtpDowngradeWhy(const FailureWords& w) {
    switch (curlCode(w)) {
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
