#include "TransferInet.h"
#include "FailureReason.h"
#include "FtpTestServer.h"
#include "HeldSessions.h"
#include "LogCapture.h"
#include "FtpFailure.h"
#include "ResponseCodes.h"
#include "SecureTestServer.h"
#include "TcpForwarder.h"
#include "TestProgram.h"
#include "TlsFallback.h"
#include "TransferTestHelpers.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <curl/curl.h>

Q_DECLARE_METATYPE(SecurityPath)
Q_DECLARE_METATYPE(OptionalTls)

namespace {

// The log-in lines a server received in clear text.
QStringList clearLogins(const QStringList& commands) {
    QStringList clear;
    for (const QString& line : commands) {
        if (line.startsWith(QStringLiteral("CLEAR USER")) ||
            line.startsWith(QStringLiteral("CLEAR PASS")))
            clear << line.section(u' ', 0, 1);
    }
    return clear;
}

qsizetype countStarting(const QStringList& lines, const QString& prefix) {
    return std::count_if(lines.begin(), lines.end(),
                         [&](const QString& line) { return line.startsWith(prefix); });
}

} // namespace

// A bare host asks for TLS before it logs in, takes a certificate nobody
// vouches for rather than clear text, and falls back to plain FTP only where
// TLS itself breaks.
class tst_OpportunisticTls : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void tlsWhereOffered_data();
    void tlsWhereOffered();
    void plainServerRefusingTls_data();
    void plainServerRefusingTls();
    void tlsTakenAway_data();
    void tlsTakenAway();
    void tlsBreaks_data();
    void tlsBreaks();
    void reasonSaysThePath_data();
    void reasonSaysThePath();
    void retryDecisions_data();
    void retryDecisions();
    void learntPerServer_data();
    void learntPerServer();

private:
    qint32 publish(TransferInet& inet, const QString& host, const QString& user,
                   const QString& password, const QByteArray& bytes) {
        if (!WriteLocalFile(local_, bytes))
            return -100;
        return RunPut(inet, host, user, password, local_,
                      QStringLiteral("public_html/channel_list.txt"));
    }
    QTemporaryDir dir_;
    QString local_;
    int row_ = 0;
};

void tst_OpportunisticTls::initTestCase() {
    SetUpTestProgram();
    local_ = dir_.filePath("channel_list.txt");
}

void tst_OpportunisticTls::init() {
    qunsetenv("SSL_CERT_FILE");
    qunsetenv("SSL_CERT_DIR");
}

void tst_OpportunisticTls::tlsWhereOffered_data() {
    QTest::addColumn<SecureTestServer::Kind>("kind");
    QTest::addColumn<QString>("certName");
    QTest::addColumn<bool>("trusted");
    QTest::addColumn<SecurityPath>("path");
    using K = SecureTestServer::Kind;
    QTest::newRow("offered, trusted")
        << K::OfferedTls << "localhost" << true << SecurityPath::VerifiedTls;
    QTest::newRow("offered, certificate for another name")
        << K::OfferedTls << "other.example" << true << SecurityPath::UnverifiedTls;
    QTest::newRow("offered, authority not trusted")
        << K::OfferedTls << "localhost" << false << SecurityPath::UnverifiedTls;
    QTest::newRow("required by the server")
        << K::ExplicitTls << "localhost" << true << SecurityPath::VerifiedTls;
}

void tst_OpportunisticTls::tlsWhereOffered() {
    QFETCH(SecureTestServer::Kind, kind);
    QFETCH(QString, certName);
    QFETCH(bool, trusted);
    QFETCH(SecurityPath, path);
    SecureTestServer server(kind);
    QVERIFY2(server.start(certName), qPrintable(server.errorString()));
    if (trusted)
        qputenv("SSL_CERT_FILE", QFile::encodeName(server.caFile()));
    const QString host = QStringLiteral("localhost:%1").arg(server.port());

    // Twice, of different bytes: the second replaces the first under TLS,
    // and the bytes are compared since a TLS store can end short.
    for (const QByteArray& bytes : {QByteArray(300'000, 'a'), QByteArray(200'001, 'b')}) {
        TransferInet inet(TestTimeouts());
        QCOMPARE(publish(inet, host, server.user(), server.password(), bytes), ResponseCodes::Ok);
        QCOMPARE(inet.LastSecurityPath(), path);
        QCOMPARE(server.remoteBytes("public_html/channel_list.txt"), bytes);
    }
    QCOMPARE(server.entries("public_html"), QStringList{"channel_list.txt"});
    const QStringList commands = server.commands();
    QVERIFY2(clearLogins(commands).isEmpty(), qPrintable(commands.join(u'\n')));
    // One log-in over TLS carried both: the second publish went on in the
    // session the first one held.
    QCOMPARE(countStarting(commands, QStringLiteral("TLS PASS")), 1);
    QVERIFY2(countStarting(commands, QStringLiteral("TLS PROT P")) == 1,
             qPrintable(commands.join(u'\n')));
}

void tst_OpportunisticTls::plainServerRefusingTls_data() {
    QTest::addColumn<QString>("mode");
    QTest::newRow("refuses AUTH") << "normal";
    // A line that begins as the reply to AUTH does, outside that reply,
    // tells nothing of TLS.
    QTest::newRow("greeting with a 234- line") << "greeting-234";
}

void tst_OpportunisticTls::plainServerRefusingTls() {
    QFETCH(QString, mode);
    FtpTestServer server;
    FtpTestServer::Options options;
    options.mode = mode;
    QVERIFY2(server.start(options), qPrintable(server.errorString()));
    TransferInet inet(TestTimeouts());
    QCOMPARE(publish(inet, server.hostPort(), server.user(), server.password(), "plain\n"),
             ResponseCodes::Ok);
    QCOMPARE(inet.LastSecurityPath(), SecurityPath::PlainTlsRefused);
    QCOMPARE(server.remoteBytes("public_html/channel_list.txt"), QByteArray("plain\n"));
    // One connection: TLS is asked for before the log-in, then it goes on.
    QStringList commands = server.commands();
    QCOMPARE(countStarting(commands, QStringLiteral("CONNECT")), 1);
    const qsizetype auth = commands.indexOf(QStringLiteral("AUTH TLS"));
    QVERIFY2(auth >= 0 && auth < commands.indexOf(QRegularExpression("USER .*")),
             qPrintable(commands.join(u'\n')));

    // A fresh log-in later in the run asks for TLS again, and publishes.
    CloseHeldSessions();
    QCOMPARE(publish(inet, server.hostPort(), server.user(), server.password(), "again\n"),
             ResponseCodes::Ok);
    QCOMPARE(inet.LastSecurityPath(), SecurityPath::PlainTlsRefused);
    commands = server.commands();
    QCOMPARE(countStarting(commands, QStringLiteral("AUTH TLS")), 2);
    // ftpes:// demands TLS: no session of the bare host serves it, and
    // nothing goes in clear.
    const qsizetype logins = countStarting(commands, QStringLiteral("PASS"));
    QVERIFY(publish(inet, QStringLiteral("ftpes://") + server.hostPort(), server.user(),
                    server.password(), "demanded\n") != ResponseCodes::Ok);
    QCOMPARE(countStarting(server.commands(), QStringLiteral("PASS")), logins);
    QCOMPARE(server.remoteBytes("public_html/channel_list.txt"), QByteArray("again\n"));
}

void tst_OpportunisticTls::tlsBreaks_data() {
    QTest::addColumn<SecureTestServer::Kind>("kind");
    QTest::newRow("handshake") << SecureTestServer::Kind::TlsBreaksAtHandshake;
    QTest::newRow("data connection") << SecureTestServer::Kind::TlsBreaksOnData;
}

void tst_OpportunisticTls::tlsBreaks() {
    QFETCH(SecureTestServer::Kind, kind);
    SecureTestServer server(kind);
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    qputenv("SSL_CERT_FILE", QFile::encodeName(server.caFile()));
    LogCapture log;
    TransferInet inet(TestTimeouts());
    const qint32 code = publish(inet, QStringLiteral("localhost:%1").arg(server.port()),
                                server.user(), server.password(), "fallback\n");
    QVERIFY2(code == ResponseCodes::Ok,
             qPrintable(QString::number(code) + u' ' + inet.ResponseInfo()));
    const QStringList commands = server.commands();
    QVERIFY2(inet.LastSecurityPath() == SecurityPath::PlainAfterTlsFailure,
             qPrintable(commands.join(u'\n')));
    QCOMPARE(server.remoteBytes("public_html/channel_list.txt"), QByteArray("fallback\n"));
    QCOMPARE(server.entries("public_html"), QStringList{"channel_list.txt"});
    // One plain log-in, after TLS broke: the fallback runs once.
    QCOMPARE(clearLogins(commands), (QStringList{"CLEAR USER", "CLEAR PASS"}));
    QVERIFY2(commands.indexOf(QRegularExpression("CLEAR USER.*")) >
                 commands.lastIndexOf(QRegularExpression(".* AUTH .*")),
             qPrintable(commands.join(u'\n')));
    // The user learns that the password went in clear, and why.
    const QStringList warnings = log.texts("harlune.transfer", QtWarningMsg);
    QCOMPARE(warnings.size(), 1);
    QVERIFY2(warnings[0].contains(QStringLiteral("TLS with ftp://localhost:")) &&
                 warnings[0].contains(QStringLiteral("published in clear text")),
             qPrintable(warnings[0]));
}

// Who answers at the server's address, after a publish over TLS worked.
enum class Impostor { RefusesTls, BreaksHandshake, OtherCertificate };
Q_DECLARE_METATYPE(Impostor)

void tst_OpportunisticTls::tlsTakenAway_data() {
    QTest::addColumn<QString>("certName"); // the server's: "localhost" is verified
    QTest::addColumn<Impostor>("then");
    QTest::newRow("verified, then AUTH refused") << "localhost" << Impostor::RefusesTls;
    QTest::newRow("verified, then the handshake breaks")
        << "localhost" << Impostor::BreaksHandshake;
    QTest::newRow("verified, then a certificate nobody vouches for")
        << "localhost" << Impostor::OtherCertificate;
    QTest::newRow("not verified, then AUTH refused") << "other.example" << Impostor::RefusesTls;
    QTest::newRow("not verified, then the handshake breaks")
        << "other.example" << Impostor::BreaksHandshake;
    QTest::newRow("not verified, then another certificate")
        << "other.example" << Impostor::OtherCertificate;
}

void tst_OpportunisticTls::tlsTakenAway() {
    QFETCH(QString, certName);
    QFETCH(Impostor, then);
    SecureTestServer server(SecureTestServer::Kind::OfferedTls);
    QVERIFY2(server.start(certName), qPrintable(server.errorString()));
    qputenv("SSL_CERT_FILE", QFile::encodeName(server.caFile()));
    TcpForwarder path(server.port());
    QVERIFY(path.start());
    const QString host = QStringLiteral("localhost:%1").arg(path.port());
    TransferInet inet(TestTimeouts());
    QCOMPARE(publish(inet, host, server.user(), server.password(), "over TLS\n"),
             ResponseCodes::Ok);

    // Someone on the path answers in the server's place, on a fresh log-in.
    FtpTestServer plain;
    SecureTestServer secure(then == Impostor::BreaksHandshake
                                ? SecureTestServer::Kind::TlsBreaksAtHandshake
                                : SecureTestServer::Kind::OfferedTls);
    const bool plainOne = then == Impostor::RefusesTls;
    QVERIFY(plainOne ? plain.start() : secure.start(QStringLiteral("other.example")));
    path.retarget(plainOne ? plain.port() : secure.port());
    CloseHeldSessions();
    LogCapture log;
    QCOMPARE(publish(inet, host, server.user(), server.password(), "in clear\n"),
             ResponseCodes::TlsDowngrade);
    const QString reason = inet.ResponseInfo();
    QVERIFY2(reason.contains(then == Impostor::OtherCertificate ? QStringLiteral("certificate")
                                                                 : QStringLiteral("stopped offering"))
                 && reason.endsWith(QStringLiteral("nothing was sent in clear text")),
             qPrintable(reason));
    const QStringList received = plainOne ? plain.commands() : secure.commands();
    QVERIFY2(received.filter(QRegularExpression("USER|PASS|STOR")).isEmpty(),
             qPrintable(received.join(u'\n')));
    QVERIFY(log.texts("harlune.transfer", QtWarningMsg).isEmpty());
    QCOMPARE(server.remoteBytes("public_html/channel_list.txt"), QByteArray("over TLS\n"));
}

void tst_OpportunisticTls::reasonSaysThePath_data() {
    QTest::addColumn<SecureTestServer::Kind>("kind");
    QTest::addColumn<QString>("certName");
    QTest::addColumn<QString>("path");
    QTest::newRow("verified") << SecureTestServer::Kind::OfferedTls << "localhost"
                              << "over TLS, certificate verified";
    QTest::newRow("not verified") << SecureTestServer::Kind::OfferedTls << "other.example"
                                  << "over TLS, certificate not verified";
}

void tst_OpportunisticTls::reasonSaysThePath() {
    QFETCH(SecureTestServer::Kind, kind);
    QFETCH(QString, certName);
    QFETCH(QString, path);
    SecureTestServer server(kind);
    QVERIFY2(server.start(certName), qPrintable(server.errorString()));
    qputenv("SSL_CERT_FILE", QFile::encodeName(server.caFile()));
    TransferInet inet(TestTimeouts());
    QCOMPARE(publish(inet, QStringLiteral("localhost:%1").arg(server.port()), server.user(),
                     QStringLiteral("wrong"), "x\n"),
             530);
    const QString reason = inet.ResponseInfo();
    QVERIFY2(reason.startsWith(QStringLiteral("log-in refused")) && reason.endsWith(path + u')'),
             qPrintable(reason));
    // Refused over TLS: no second log-in in clear text.
    QVERIFY(clearLogins(server.commands()).isEmpty());
}

void tst_OpportunisticTls::retryDecisions_data() {
    // Each attempt the substitute publish answers: its code, and whether the
    // server had agreed to TLS.
    QTest::addColumn<QList<qint32>>("codes");
    QTest::addColumn<QList<bool>>("accepted");
    QTest::addColumn<QList<OptionalTls>>("expectedAttempts");
    QTest::addColumn<SecurityPath>("path");
    QTest::addColumn<qint32>("result");
    using T = OptionalTls;
    const qint32 badCertificate = ResponseCodes::CurlBase + CURLE_PEER_FAILED_VERIFICATION;
    const qint32 handshake = ResponseCodes::CurlBase + CURLE_SSL_CONNECT_ERROR;
    QTest::newRow("verified") << QList<qint32>{0} << QList<bool>{true} << QList<T>{T::Verified}
                              << SecurityPath::VerifiedTls << 0;
    QTest::newRow("refused") << QList<qint32>{0} << QList<bool>{false} << QList<T>{T::Verified}
                             << SecurityPath::PlainTlsRefused << 0;
    QTest::newRow("log-in refused over TLS: no retry")
        << QList<qint32>{530} << QList<bool>{true} << QList<T>{T::Verified}
        << SecurityPath::VerifiedTls << 530;
    QTest::newRow("missing folder in clear text: no retry")
        << QList<qint32>{550} << QList<bool>{false} << QList<T>{T::Verified}
        << SecurityPath::PlainTlsRefused << 550;
    QTest::newRow("time-out over TLS: no retry")
        << QList<qint32>{ResponseCodes::CurlBase + CURLE_OPERATION_TIMEDOUT} << QList<bool>{true}
        << QList<T>{T::Verified} << SecurityPath::VerifiedTls
        << ResponseCodes::CurlBase + CURLE_OPERATION_TIMEDOUT;
    QTest::newRow("bad certificate")
        << QList<qint32>{badCertificate, 0} << QList<bool>{true, true}
        << QList<T>{T::Verified, T::Unverified} << SecurityPath::UnverifiedTls << 0;
    QTest::newRow("handshake breaks")
        << QList<qint32>{handshake, 0} << QList<bool>{true, false} << QList<T>{T::Verified, T::Off}
        << SecurityPath::PlainAfterTlsFailure << 0;
    QTest::newRow("bad certificate, then data TLS breaks")
        << QList<qint32>{badCertificate, 522, 0} << QList<bool>{true, true, false}
        << QList<T>{T::Verified, T::Unverified, T::Off} << SecurityPath::PlainAfterTlsFailure << 0;
    // Only the TLS layer's own failures count: anyone on the path can
    // reset a connection.
    QTest::newRow("data connection confused under TLS")
        << QList<qint32>{ResponseCodes::CurlBase + CURLE_FTP_WEIRD_PASV_REPLY, 0}
        << QList<bool>{true, false} << QList<T>{T::Verified, T::Off}
        << SecurityPath::PlainAfterTlsFailure << 0;
    QTest::newRow("connection reset under TLS: no retry")
        << QList<qint32>{ResponseCodes::CurlBase + CURLE_RECV_ERROR} << QList<bool>{true}
        << QList<T>{T::Verified} << SecurityPath::VerifiedTls
        << ResponseCodes::CurlBase + CURLE_RECV_ERROR;
    QTest::newRow("another certificate than the first seen")
        << QList<qint32>{badCertificate, ResponseCodes::CurlBase + CURLE_SSL_PINNEDPUBKEYNOTMATCH}
        << QList<bool>{false, false} << QList<T>{T::Verified, T::Unverified}
        << SecurityPath::PlainTlsRefused << ResponseCodes::TlsDowngrade;
    QTest::newRow("file refused over TLS: no retry")
        << QList<qint32>{553} << QList<bool>{true} << QList<T>{T::Verified}
        << SecurityPath::VerifiedTls << 553;
    QTest::newRow("plain fails too: only once")
        << QList<qint32>{handshake, 530} << QList<bool>{true, false}
        << QList<T>{T::Verified, T::Off} << SecurityPath::PlainAfterTlsFailure << 530;
}

void tst_OpportunisticTls::retryDecisions() {
    QFETCH(QList<qint32>, codes);
    QFETCH(QList<bool>, accepted);
    QFETCH(QList<OptionalTls>, expectedAttempts);
    QFETCH(SecurityPath, path);
    QFETCH(qint32, result);
    QList<OptionalTls> attempts;
    const auto fake = [&](const PublishJob& job, const std::atomic<bool>&) -> qint32 {
        const qsizetype i = attempts.size();
        attempts << job.optionalTls;
        if (i >= codes.size())
            return -100;
        if (job.report)
            job.report->tlsAccepted = accepted[i];
        return codes[i];
    };
    // A server of its own for each row: what a publish learns of a
    // server's TLS holds for the life of the program.
    PublishJob job{
        *ParseRemoteHost(QStringLiteral("row%1.example.com").arg(++row_)), {}, {}, {}, {}, {}};
    std::atomic<bool> abort{false};
    SecurityPath taken = SecurityPath::AsTyped;
    QCOMPARE(PublishPreferringTls(job, abort, &taken, fake, FailureReason), result);
    QCOMPARE(attempts, expectedAttempts);
    QCOMPARE(taken, path);

    // The schemes that insist on their transport are published once, as they are.
    attempts.clear();
    job.endpoint = *ParseRemoteHost(QStringLiteral("ftpes://ftp.example.com"));
    PublishPreferringTls(job, abort, &taken, fake, FailureReason);
    QCOMPARE(attempts, QList<OptionalTls>{OptionalTls::Off});
    QCOMPARE(taken, SecurityPath::AsTyped);
}

// One answer of the substitute server: its code, and whether it had agreed
// to TLS.
struct Answer {
    qint32 code;
    bool accepted;
};
Q_DECLARE_METATYPE(QList<Answer>)

void tst_OpportunisticTls::learntPerServer_data() {
    // The answers to two publishes in a row to one server; how the second
    // asked for TLS, whether it insisted, and how it ended.
    QTest::addColumn<QList<Answer>>("first");
    QTest::addColumn<QList<Answer>>("second");
    QTest::addColumn<QList<OptionalTls>>("secondAttempts");
    QTest::addColumn<bool>("insisted");
    QTest::addColumn<qint32>("result");
    using T = OptionalTls;
    const qint32 badCertificate = ResponseCodes::CurlBase + CURLE_PEER_FAILED_VERIFICATION;
    const qint32 tlsRefused = ResponseCodes::CurlBase + CURLE_USE_SSL_FAILED;
    const qint32 handshake = ResponseCodes::CurlBase + CURLE_SSL_CONNECT_ERROR;
    // Nothing learnt skips AUTH: it may have been learnt from someone on
    // the path.
    QTest::newRow("TLS refused: asked for again")
        << QList<Answer>{{0, false}} << QList<Answer>{{0, false}} << QList<T>{T::Verified} << false
        << 0;
    QTest::newRow("certificate not verifiable: straight to it")
        << QList<Answer>{{badCertificate, true}, {0, true}} << QList<Answer>{{0, true}}
        << QList<T>{T::Unverified} << true << 0;
    QTest::newRow("TLS broke: asked for again")
        << QList<Answer>{{handshake, true}, {0, false}} << QList<Answer>{{0, false}}
        << QList<T>{T::Verified} << false << 0;
    QTest::newRow("verified once: an unverifiable certificate later fails")
        << QList<Answer>{{0, true}} << QList<Answer>{{badCertificate, true}}
        << QList<T>{T::Verified} << true << ResponseCodes::TlsDowngrade;
    QTest::newRow("TLS once: refused later fails")
        << QList<Answer>{{badCertificate, true}, {0, true}} << QList<Answer>{{tlsRefused, false}}
        << QList<T>{T::Unverified} << true << ResponseCodes::TlsDowngrade;
    QTest::newRow("TLS once: breaking later is no reason for clear text")
        << QList<Answer>{{0, true}} << QList<Answer>{{handshake, false}} << QList<T>{T::Verified}
        << true << ResponseCodes::TlsDowngrade;
    QTest::newRow("a failure forgets the way: the next starts from the top")
        << QList<Answer>{{530, false}} << QList<Answer>{{0, false}} << QList<T>{T::Verified}
        << false << 0;
}

void tst_OpportunisticTls::learntPerServer() {
    QFETCH(QList<Answer>, first);
    QFETCH(QList<Answer>, second);
    QFETCH(QList<OptionalTls>, secondAttempts);
    QFETCH(bool, insisted);
    QFETCH(qint32, result);
    QList<Answer> answers = first;
    QList<OptionalTls> attempts;
    bool required = false;
    const auto fake = [&](const PublishJob& job, const std::atomic<bool>&) -> qint32 {
        attempts << job.optionalTls;
        required = job.tlsRequired;
        if (answers.isEmpty())
            return -100;
        const Answer answer = answers.takeFirst();
        job.report->tlsAccepted = answer.accepted;
        return answer.code;
    };
    PublishJob job{
        *ParseRemoteHost(QStringLiteral("learnt%1.example.com").arg(++row_)), {}, {}, {}, {}, {}};
    std::atomic<bool> abort{false};
    PublishPreferringTls(job, abort, nullptr, fake, FailureReason);
    QVERIFY(answers.isEmpty());
    answers = second;
    attempts.clear();
    QCOMPARE(PublishPreferringTls(job, abort, nullptr, fake, FailureReason), result);
    QCOMPARE(attempts, secondAttempts);
    QCOMPARE(required, insisted);
}

QTEST_GUILESS_MAIN(tst_OpportunisticTls)
#include "tst_opportunistictls.moc"
