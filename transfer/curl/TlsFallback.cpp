#include "TlsFallback.h"

#include "LearntFacts.h"
#include "ResponseCodes.h"
#include "TransferLog.h"

#include <curl/curl.h>

#include <algorithm>

QString DescribeSecurityPath(SecurityPath path) {
    switch (path) {
    case SecurityPath::AsTyped:
        break;
    case SecurityPath::VerifiedTls:
        return QStringLiteral("over TLS, certificate verified");
    case SecurityPath::UnverifiedTls:
        return QStringLiteral("over TLS, certificate not verified");
    case SecurityPath::PlainTlsRefused:
        return QStringLiteral("in clear text, the server refused TLS");
    case SecurityPath::PlainAfterTlsFailure:
        return QStringLiteral("in clear text, after TLS failed");
    }
    return QStringLiteral("as the scheme demands");
}

bool BrokenByTls(qint32 code) {
    // The server's answers about the log-in, files and folders, and its
    // transient refusals, would come the same in clear text.
    if ((code >= 450 && code <= 453) || code == 530 || code == 532 || (code >= 550 && code <= 553))
        return false;
    // So would a stalled or unreachable server, and our own refusals.
    if (code >= 2000 || code == ResponseCodes::Ok)
        return false;
    switch (code - ResponseCodes::CurlBase) {
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_LOGIN_DENIED:
    case CURLE_REMOTE_ACCESS_DENIED:
    case CURLE_REMOTE_FILE_NOT_FOUND:
    case CURLE_REMOTE_DISK_FULL:
    case CURLE_QUOTE_ERROR:
    case CURLE_ABORTED_BY_CALLBACK:
    case CURLE_READ_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
        return false;
    default:
        // Anything else once TLS was agreed (a handshake that fails, a data
        // connection that breaks under TLS and leaves libcurl confused, a
        // TLS policy refusal such as 522 or 534) may be TLS's doing.
        return true;
    }
}

qint32 PublishPreferringTls(PublishJob job, const std::atomic<bool>& abort, SecurityPath* path,
                            const PublishFunction& publish, const ExplainFunction& explain) {
    PublishReport ownReport;
    if (!job.report)
        job.report = &ownReport;
    PublishReport& report = *job.report;
    const auto attempt = [&](OptionalTls tls) {
        report = {};
        job.optionalTls = tls;
        return publish(job, abort);
    };
    SecurityPath taken = SecurityPath::AsTyped;
    qint32 code = 0;
    if (job.endpoint.transport != Transport::Ftp) {
        code = publish(job, abort);
        if (path)
            *path = taken;
        return code;
    }

    const DestinationKey key = KeyFor(job);
    const ServerFacts memory = RecallServer(key);
    job.tlsRequired = memory.tlsPin != TlsPin::None;
    if (memory.tlsPin != TlsPin::None)
        qCDebug(lcTransfer) << "learnt earlier: the server took TLS"
                            << (memory.tlsPin == TlsPin::Verified ? "with a verified certificate" : "")
                            << "- it must now too";
    if (memory.tlsPath != SecurityPath::AsTyped)
        qCDebug(lcTransfer).noquote() << "learnt earlier: the last publish went"
                                      << DescribeSecurityPath(memory.tlsPath);
    const auto tlsPath = [&](SecurityPath tls) {
        return report.tlsAccepted ? tls : SecurityPath::PlainTlsRefused;
    };
    // Where the last publish went is where this one starts: no AUTH for a
    // server that refused it, no failed handshake for a certificate that
    // cannot be verified.
    if (memory.tlsPath == SecurityPath::PlainTlsRefused && !job.tlsRequired) {
        code = attempt(OptionalTls::Off);
        taken = SecurityPath::PlainTlsRefused;
    } else if (memory.tlsPath == SecurityPath::PlainAfterTlsFailure && !job.tlsRequired) {
        code = attempt(OptionalTls::Off);
        taken = SecurityPath::PlainAfterTlsFailure;
    } else if (memory.tlsPath == SecurityPath::UnverifiedTls && memory.tlsPin != TlsPin::Verified) {
        code = attempt(OptionalTls::Unverified);
        taken = tlsPath(SecurityPath::UnverifiedTls);
    } else {
        code = attempt(OptionalTls::Verified);
        taken = tlsPath(SecurityPath::VerifiedTls);
        if (report.tlsAccepted && !abort &&
            code == ResponseCodes::CurlBase + CURLE_PEER_FAILED_VERIFICATION) {
            if (memory.tlsPin != TlsPin::Verified) {
                qCDebug(lcTransfer).noquote()
                    << "TLS with a certificate nobody vouches for:"
                    << explain(code, report, job) << "- publishing over it all the same";
                code = attempt(OptionalTls::Unverified);
                taken = tlsPath(SecurityPath::UnverifiedTls);
            }
        }
        if (report.tlsAccepted && !abort && BrokenByTls(code) && !job.tlsRequired) {
            const QString why = explain(code, report, job);
            if (FirstTimeTold("TLS failed " + key.server()))
                qCWarning(lcTransfer).noquote()
                    << "TLS with" << FormUrl(job.endpoint) << "failed:" << why
                    << "- the file is published in clear text instead";
            else
                qCDebug(lcTransfer).noquote()
                    << "TLS failed:" << why << "- publishing in clear text";
            code = attempt(OptionalTls::Off);
            taken = SecurityPath::PlainAfterTlsFailure;
        }
    }
    // A server held to TLS that refuses it, or to a verified certificate
    // that shows another: refused, whatever libcurl called it.
    if (job.tlsRequired && !abort &&
        (code == ResponseCodes::CurlBase + CURLE_USE_SSL_FAILED ||
         (memory.tlsPin == TlsPin::Verified && code == ResponseCodes::CurlBase + CURLE_PEER_FAILED_VERIFICATION)))
        code = ResponseCodes::TlsDowngrade;
    const bool worked = code == ResponseCodes::Ok;
    LearnServer(key, [taken, worked](ServerFacts& server) {
        server.tlsPath = worked ? taken : SecurityPath::AsTyped;
        if (worked && taken == SecurityPath::VerifiedTls)
            server.tlsPin = TlsPin::Verified;
        else if (worked && taken == SecurityPath::UnverifiedTls)
            server.tlsPin = std::max(server.tlsPin, TlsPin::Took);
    });
    qCDebug(lcTransfer).noquote() << "published" << DescribeSecurityPath(taken);
    if (path)
        *path = taken;
    return code;
}
