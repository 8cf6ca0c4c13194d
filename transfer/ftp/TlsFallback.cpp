#include "TlsFallback.h"

#include "FtpFailure.h"
#include "FtpServerLearnt.h"
#include "Learnt.h"
#include "PublishLadder.h"
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
    // The server's TLS policy: PROT or PBSZ refused over a TLS control
    // connection, which nobody on the path can forge.
    if (code == 522 || code == 534)
        return true;
    // The TLS layer's own failures alone. A refused log-in, a full disk, a
    // time-out or a lost connection would come the same in clear text, and
    // anyone on the path can cause them at will.
    switch (code - ResponseCodes::CurlBase) {
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_INVALIDCERTSTATUS:
    // A data connection whose TLS handshake broke off: libcurl 7.88 then
    // tries PASV after EPSV, and takes the reply to TYPE for its answer.
    case CURLE_FTP_WEIRD_PASV_REPLY:
        return true;
    default:
        return false;
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
    const FtpServerLearnt memory = RecallFtpServer(key);
    job.tlsRequired = memory.tlsPin != TlsPin::None;
    if (memory.tlsPin != TlsPin::None)
        qCDebug(lcTransfer) << "learnt earlier: the server took TLS"
                            << (memory.tlsPin == TlsPin::Verified ? "with a verified certificate" : "")
                            << "- it must now too";
    if (memory.tlsPath != SecurityPath::AsTyped)
        qCDebug(lcTransfer).noquote() << "learnt earlier: the last publish went"
                                      << DescribeSecurityPath(memory.tlsPath);
    // How the publish went, from what the TLS layer said of its control
    // connection. A clear session held from an earlier publish went as
    // that one did.
    const auto tlsPath = [&](SecurityPath tls) {
        if (report.tlsAccepted)
            return tls;
        return memory.tlsPath == SecurityPath::PlainAfterTlsFailure ? memory.tlsPath
                                                                     : SecurityPath::PlainTlsRefused;
    };
    // Every log-in asks for TLS: nothing learnt skips AUTH, since what the
    // server said before may have been said by someone on the path. Only a
    // certificate nobody vouches for is gone to at once, held to its key.
    if (memory.tlsPath == SecurityPath::UnverifiedTls && memory.tlsPin != TlsPin::Verified) {
        code = attempt(OptionalTls::Unverified);
        taken = tlsPath(SecurityPath::UnverifiedTls);
    } else {
        code = attempt(OptionalTls::Verified);
        taken = tlsPath(SecurityPath::VerifiedTls);
        if (!abort && code == ResponseCodes::CurlBase + CURLE_PEER_FAILED_VERIFICATION &&
            memory.tlsPin != TlsPin::Verified) {
            qCDebug(lcTransfer).noquote()
                << "TLS with a certificate nobody vouches for:" << explain(code, report, job)
                << "- publishing over it all the same";
            qCDebug(lcTransfer).noquote() << "step:" << NameOf(PublishStep::TlsUnverified);
            code = attempt(OptionalTls::Unverified);
            taken = tlsPath(SecurityPath::UnverifiedTls);
        }
    }
    // TLS broke with a server whose TLS never worked in this run: plain FTP
    // once, on a fresh connection, so that a bare host does no worse than
    // plain FTP. A server that took TLS before gets nothing in clear.
    if (!abort && BrokenByTls(code) && !job.tlsRequired) {
        const QString why = explain(code, report, job);
        if (FirstTimeTold("TLS failed " + key.server()))
            qCWarning(lcTransfer).noquote() << "TLS with" << FormUrl(job.endpoint) << "failed:" << why
                                            << "- the file is published in clear text instead";
        else
            qCDebug(lcTransfer).noquote() << "TLS failed:" << why << "- publishing in clear text";
        qCDebug(lcTransfer).noquote() << "step:" << NameOf(PublishStep::TlsClear);
        code = attempt(OptionalTls::Off);
        taken = SecurityPath::PlainAfterTlsFailure;
    }
    // A server held to TLS that refuses it or breaks it, or held to a
    // verified certificate that shows another: it stopped offering TLS,
    // whatever libcurl called it. So is one that shows another certificate
    // than the first one seen from it in this run.
    // A refused AUTH is the server's reply to libcurl, which says why.
    const FtpFailure* failure = FtpFailureOf(report);
    const int curl = failure && failure->curlCode ? failure->curlCode : code - ResponseCodes::CurlBase;
    if (!abort && ((job.tlsRequired && (curl == CURLE_USE_SSL_FAILED || BrokenByTls(code))) ||
                   (memory.tlsPin == TlsPin::Verified && curl == CURLE_PEER_FAILED_VERIFICATION) ||
                   curl == CURLE_SSL_PINNEDPUBKEYNOTMATCH)) {
        FtpFailure downgrade = failure ? *failure : FtpFailure{};
        downgrade.curlCode = curl;
        report.engine = downgrade;
        code = ResponseCodes::TlsDowngrade;
    }
    const bool worked = code == ResponseCodes::Ok;
    LearnFtpServer(key, [taken, worked](FtpServerLearnt& server) {
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
