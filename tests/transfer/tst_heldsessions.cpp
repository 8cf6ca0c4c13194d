// Publishes on the timer keep their log-in: each server's own log counts the
// log-ins while the real component publishes again and again, and sessions
// the server, the network or a change of destination ended must cost no
// failed upload.
#include "TransferInet.h"
#include "HeldSessions.h"
#include "ResponseCodes.h"
#include "ServerLauncher.h"
#include "TcpForwarder.h"
#include "TestCertificates.h"
#include "TestServer.h"
#include "TransferTestHelpers.h"
#include "UploadFile.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <curl/curl.h>

#include <csignal>
#include <memory>

using namespace std::chrono_literals;

namespace {

// The timer's shortest interval for a minute: every publish after the
// first goes on the session the first one logged in.
constexpr int TimerUploads = 60;
constexpr auto TimerInterval = 1000ms;

const QString Remote = QStringLiteral("public_html/channel_list.txt");

const QStringList ProftpdTls{"LoadModule mod_tls.c", "TLSEngine on", "TLSRequired on",
                             "TLSECCertificateFile @CERT@", "TLSECCertificateKeyFile @KEY@"};

ServerConfig vsftpd(const QStringList& options = {}) {
    return MakeServerConfig("vsftpd", {}, "vsftpd.sh", options);
}
ServerConfig proftpd(const QStringList& options = {}) {
    return MakeServerConfig("proftpd", {}, "proftpd", options);
}
ServerConfig pureFtpd() {
    return MakeServerConfig("pure-ftpd", {}, "pure-ftpd");
}
ServerConfig openSsh() {
    return MakeServerConfig("OpenSSH", {}, "sshd.sh");
}

// Other bytes, and another length, for every publish.
QByteArray listBytes(int upload) {
    QByteArray bytes;
    for (int i = 0; i <= upload % 7; ++i)
        bytes +=
            "Channel " + QByteArray::number(i) + " of upload " + QByteArray::number(upload) + "\n";
    return bytes;
}

// A publish that reaches the server one way or another.
struct Step {
    QString host;       // 127.0.0.1 or localhost
    bool rightPassword; // a wrong one must be refused
};

// What the server does to the sessions between publishes.
enum class Ending { IdleTimeout, Restart, Silence };

} // namespace

Q_DECLARE_METATYPE(ServerConfig)
Q_DECLARE_METATYPE(QList<Step>)
Q_DECLARE_METATYPE(Ending)

class tst_HeldSessions : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();

    void timerKeepsOneLogIn_data();
    void timerKeepsOneLogIn();
    void tlsSessionsHeldWhereTheyCanBe_data();
    void tlsSessionsHeldWhereTheyCanBe();
    void endedSessionCostsNoUpload_data();
    void endedSessionCostsNoUpload();
    void otherDestinationOtherSession_data();
    void otherDestinationOtherSession();
    void closingSaysGoodbye_data();
    void closingSaysGoodbye();

private:
    QString startServer(const ServerConfig& config);
    QString host(const QString& transport, const QString& name, quint16 port) const;
    // Writes the bytes of publish `upload` and publishes them.
    qint32 publish(int upload, const QString& host, const QString& password,
                   TransferTimeouts timeouts = TestTimeouts());
    void trustServer(quint16 port);

    QTemporaryDir dir_;
    TestServer server_;
};

void tst_HeldSessions::initTestCase() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    QVERIFY(dir_.isValid());
    const QString error = MakeTestCertificateKinds(dir_.path());
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QVERIFY(QDir().mkpath(dir_.filePath("home/.ssh")));
    qputenv("HOME", QFile::encodeName(dir_.filePath("home")));
}

void tst_HeldSessions::cleanup() {
    // The sessions are the program's, not the test's: none outlives a row.
    CloseHeldSessions();
    server_.stop();
}

QString tst_HeldSessions::startServer(const ServerConfig& config) {
    const QString certDir = dir_.filePath(config.rsa ? "rsa" : "ec");
    qputenv("SSL_CERT_FILE", QFile::encodeName(certDir + "/ca.pem"));
    const QString error = server_.start(config, certDir);
    if (error.isEmpty() && config.launcher == "sshd.sh")
        trustServer(server_.port());
    return error;
}

void tst_HeldSessions::trustServer(quint16 port) {
    QFile knownHosts(dir_.filePath("home/.ssh/known_hosts"));
    if (knownHosts.open(QIODevice::WriteOnly))
        knownHosts.write(server_.knownHostsLine(port).toUtf8());
}

QString tst_HeldSessions::host(const QString& transport, const QString& name, quint16 port) const {
    return QStringLiteral("%1://%2:%3").arg(transport, name).arg(port);
}

qint32 tst_HeldSessions::publish(int upload, const QString& host, const QString& password,
                                 TransferTimeouts timeouts) {
    const QString local = dir_.filePath("channel_list.txt");
    if (!WriteLocalFile(local, listBytes(upload)))
        return -1;
    TransferInet inet(timeouts);
    return RunPut(inet, host, server_.user(), password, local, Remote);
}

#define START_SERVER(config)                                                                       \
    do {                                                                                           \
        const QString error = startServer(config);                                                 \
        if (error.startsWith("SKIP "))                                                             \
            QSKIP(qPrintable(error.mid(5)));                                                       \
        QVERIFY2(error.isEmpty(), qPrintable(error));                                              \
    } while (false)

#define VERIFY_PUBLISHED(upload, code)                                                             \
    do {                                                                                           \
        QVERIFY2((code) == ResponseCodes::Ok,                                                      \
                 qPrintable(QStringLiteral("publish %1 answered %2").arg(upload).arg(code)));      \
        QVERIFY2(                                                                                  \
            BytesIn(server_.root(), Remote) == listBytes(upload),                                  \
            qPrintable(QStringLiteral("publish %1 is not on the server's disk").arg(upload)));     \
    } while (false)

void tst_HeldSessions::timerKeepsOneLogIn_data() {
    QTest::addColumn<ServerConfig>("config");
    QTest::addColumn<QString>("transport");
    QTest::addColumn<int>("logIns");

    QTest::newRow("vsftpd, ftp: one log-in") << vsftpd() << "ftp" << 1;
    QTest::newRow("proftpd, mod_tls as the matrix has it, ftpes: two log-ins, the held TLS 1.3 "
                  "session cannot open a second data connection there, TLS 1.2 from then on")
        << proftpd(ProftpdTls) << "ftpes" << 2;
    // pure-ftpd notes log-ins in syslog alone: its control connections are
    // counted at a forwarder instead.
    QTest::newRow("pure-ftpd, ftp: one control connection") << pureFtpd() << "ftp" << 1;
    QTest::newRow("OpenSSH, sftp: one log-in") << openSsh() << "sftp" << 1;
}

void tst_HeldSessions::timerKeepsOneLogIn() {
    QFETCH(ServerConfig, config);
    QFETCH(QString, transport);
    QFETCH(int, logIns);
    START_SERVER(config);
    std::unique_ptr<TcpForwarder> forwarder;
    quint16 port = server_.port();
    if (server_.logIns() < 0) {
        forwarder = std::make_unique<TcpForwarder>(server_.port());
        QVERIFY(forwarder->start());
        port = forwarder->port();
    }
    const QString to = host(transport, transport == "ftpes" ? "localhost" : "127.0.0.1", port);

    for (int upload = 1; upload <= TimerUploads; ++upload) {
        const QDeadlineTimer next(TimerInterval);
        const qint32 code = publish(upload, to, server_.password());
        VERIFY_PUBLISHED(upload, code);
        QTest::qWait(static_cast<int>(std::max<qint64>(0, next.remainingTime())));
    }
    const int seen = forwarder ? forwarder->connections() : server_.logIns();
    QCOMPARE(seen, logIns);
    QCOMPARE(server_.refusedLogIns(), forwarder ? -1 : 0);
}

void tst_HeldSessions::tlsSessionsHeldWhereTheyCanBe_data() {
    QTest::addColumn<ServerConfig>("config");
    // Per publish, 1 where it logged in, 0 where it went on a held session.
    QTest::addColumn<QString>("logIns");

    const QStringList vsftpdTls{"ssl_enable=YES", "rsa_cert_file=@CERT@",
                                "rsa_private_key_file=@KEY@"};
    // A held TLS 1.3 session carries another data connection or not as
    // OpenSSL's session tickets happen to arrive. Once it does not, vsftpd
    // ends the session, TLS 1.2 is refused, and every publish from then on
    // logs in under TLS 1.3; the publish that found out logs in twice, once
    // to remove the temporary copy the server made before it refused the
    // data connection, once to publish.
    QTest::newRow("vsftpd, ssl_enable=YES, ECDSA certificate: TLS 1.3 only, a log-in each once "
                  "a held session failed")
        << MakeServerConfig("vsftpd", {}, "vsftpd.sh", vsftpdTls) << "^10*([12]1*)?$";
    QTest::newRow("vsftpd, ssl_enable=YES, RSA certificate, TLS 1.2 at most: one log-in")
        << MakeServerConfig("vsftpd", {}, "vsftpd.sh", vsftpdTls, true, "1.2") << "^10+$";
}

void tst_HeldSessions::tlsSessionsHeldWhereTheyCanBe() {
    QFETCH(ServerConfig, config);
    QFETCH(QString, logIns);
    START_SERVER(config);
    const QString to = host("ftpes", "localhost", server_.port());
    QString seen;
    for (int upload = 1; upload <= 10; ++upload) {
        const QDeadlineTimer next(TimerInterval);
        const int before = server_.logIns();
        const qint32 code = publish(upload, to, server_.password());
        VERIFY_PUBLISHED(upload, code);
        seen += QString::number(server_.logIns() - before);
        QTest::qWait(static_cast<int>(std::max<qint64>(0, next.remainingTime())));
    }
    QVERIFY2(QRegularExpression(logIns).match(seen).hasMatch(), qPrintable(seen));
    QCOMPARE(server_.refusedLogIns(), 0);
}

void tst_HeldSessions::endedSessionCostsNoUpload_data() {
    QTest::addColumn<ServerConfig>("config");
    QTest::addColumn<QString>("transport");
    QTest::addColumn<Ending>("ending");
    QTest::addColumn<int>("uploads");
    QTest::addColumn<int>("gapMs");

    // The server's "421" waits unread on the held connection.
    QTest::newRow("vsftpd, idle_session_timeout=2, uploads 3 s apart")
        << vsftpd({"idle_session_timeout=2"}) << "ftp" << Ending::IdleTimeout << 3 << 3000;
    QTest::newRow("proftpd, TimeoutIdle 2, uploads 3 s apart")
        << proftpd({"TimeoutIdle 2"}) << "ftp" << Ending::IdleTimeout << 3 << 3000;
    QTest::newRow("vsftpd, restarted on its port between uploads")
        << vsftpd() << "ftp" << Ending::Restart << 3 << 0;
    QTest::newRow("OpenSSH, restarted on its port between uploads")
        << openSsh() << "sftp" << Ending::Restart << 3 << 0;
    // Nothing unread, nothing closed: only the first request's limit tells.
    QTest::newRow("vsftpd, the held connection silently dropped")
        << vsftpd() << "ftp" << Ending::Silence << 2 << 0;
    QTest::newRow("OpenSSH, the held connection silently dropped")
        << openSsh() << "sftp" << Ending::Silence << 2 << 0;
}

void tst_HeldSessions::endedSessionCostsNoUpload() {
    QFETCH(ServerConfig, config);
    QFETCH(QString, transport);
    QFETCH(Ending, ending);
    QFETCH(int, uploads);
    QFETCH(int, gapMs);
    START_SERVER(config);
    std::unique_ptr<TcpForwarder> forwarder;
    quint16 port = server_.port();
    if (ending == Ending::Silence) {
        forwarder = std::make_unique<TcpForwarder>(server_.port());
        QVERIFY(forwarder->start());
        port = forwarder->port();
        if (transport == "sftp")
            trustServer(port);
    }
    // Longer than the held session's first-reply limit, which must be what
    // ends the wait on a silent connection.
    TransferTimeouts timeouts = TestTimeouts();
    timeouts.serverReply = 40s;
    const QString to = host(transport, "127.0.0.1", port);

    for (int upload = 1; upload <= uploads; ++upload) {
        if (upload > 1) {
            QTest::qWait(gapMs);
            if (ending == Ending::Restart) {
                const QString error = server_.restart();
                QVERIFY2(error.isEmpty(), qPrintable(error));
            } else if (ending == Ending::Silence) {
                forwarder->silence();
            }
        }
        // As the timer publishes: the held session that had ended leaves no
        // reason behind.
        QVERIFY(WriteLocalFile(dir_.filePath("channel_list.txt"), listBytes(upload)));
        QString reason;
        QElapsedTimer took;
        took.start();
        const bool published =
            UploadFile(TransferInetFactory(timeouts), to, server_.user(), server_.password(),
                       dir_.filePath("channel_list.txt"), Remote, reason);
        QVERIFY2(published && reason.isEmpty(),
                 qPrintable(QStringLiteral("publish %1: %2").arg(upload).arg(reason)));
        QCOMPARE(BytesIn(server_.root(), Remote), listBytes(upload));
        // A hang check: well under the 40 s reply limit.
        QVERIFY2(
            took.elapsed() < 25'000,
            qPrintable(QStringLiteral("publish %1 took %2 ms").arg(upload).arg(took.elapsed())));
    }
    // Every publish found its session ended and logged in afresh.
    QCOMPARE(server_.logIns(), uploads);
    if (forwarder)
        QCOMPARE(forwarder->connections(), uploads);
}

void tst_HeldSessions::otherDestinationOtherSession_data() {
    QTest::addColumn<ServerConfig>("config");
    QTest::addColumn<QString>("transport");
    QTest::addColumn<QList<Step>>("steps");
    QTest::addColumn<int>("logIns");
    QTest::addColumn<int>("refused");

    // The session the right password opened waits for it to come back.
    const QList<Step> wrongPassword{{"127.0.0.1", true}, {"127.0.0.1", false}, {"127.0.0.1", true}};
    const QList<Step> otherName{{"127.0.0.1", true}, {"localhost", true}, {"127.0.0.1", true}};
    QTest::newRow("vsftpd, a wrong password after the right one, then the right one")
        << vsftpd() << "ftp" << wrongPassword << 1 << 1;
    QTest::newRow("vsftpd, localhost after 127.0.0.1, then 127.0.0.1")
        << vsftpd() << "ftp" << otherName << 2 << 0;
    QTest::newRow("OpenSSH, a wrong password after the right one, then the right one")
        << openSsh() << "sftp" << wrongPassword << 1 << 1;
}

void tst_HeldSessions::otherDestinationOtherSession() {
    QFETCH(ServerConfig, config);
    QFETCH(QString, transport);
    QFETCH(QList<Step>, steps);
    QFETCH(int, logIns);
    QFETCH(int, refused);
    START_SERVER(config);
    if (transport == "sftp") {
        QFile knownHosts(dir_.filePath("home/.ssh/known_hosts"));
        QVERIFY(knownHosts.open(QIODevice::Append));
        knownHosts.write(server_.knownHostsLine().replace("[127.0.0.1]", "[localhost]").toUtf8());
    }

    for (int upload = 1; upload <= steps.size(); ++upload) {
        const Step& step = steps[upload - 1];
        const qint32 code = publish(upload, host(transport, step.host, server_.port()),
                                    step.rightPassword ? server_.password() : "wrong");
        if (step.rightPassword) {
            VERIFY_PUBLISHED(upload, code);
        } else {
            QVERIFY2(
                code != ResponseCodes::Ok,
                qPrintable(QStringLiteral("publish %1 went out on the held session").arg(upload)));
            QCOMPARE(BytesIn(server_.root(), Remote), listBytes(upload - 1));
        }
    }
    QCOMPARE(server_.logIns(), logIns);
    QCOMPARE(server_.refusedLogIns(), refused);
}

void tst_HeldSessions::closingSaysGoodbye_data() {
    QTest::addColumn<ServerConfig>("config");
    QTest::addColumn<QString>("transport");
    QTest::addColumn<bool>("serverStopped");
    // What the server notes of a goodbye.
    QTest::addColumn<QString>("goodbye");

    const QString quit = R"(FTP command: Client "127.0.0.1", "QUIT")";
    const QString disconnect = "Received disconnect from 127.0.0.1";
    QTest::newRow("vsftpd: QUIT") << vsftpd() << "ftp" << false << quit;
    QTest::newRow("vsftpd stopped (SIGSTOP): no hang") << vsftpd() << "ftp" << true << quit;
    QTest::newRow("OpenSSH: disconnect") << openSsh() << "sftp" << false << disconnect;
    QTest::newRow("OpenSSH stopped (SIGSTOP): no hang")
        << openSsh() << "sftp" << true << disconnect;
}

void tst_HeldSessions::closingSaysGoodbye() {
    QFETCH(ServerConfig, config);
    QFETCH(QString, transport);
    QFETCH(bool, serverStopped);
    QFETCH(QString, goodbye);
    START_SERVER(config);
    const qint32 code =
        publish(1, host(transport, "127.0.0.1", server_.port()), server_.password());
    VERIFY_PUBLISHED(1, code);
    const auto goodbyes = [&] { return ReadTextFile(server_.logInLog()).count(goodbye); };
    QCOMPARE(goodbyes(), 0);

    if (serverStopped)
        SignalProcessTree(server_.pid(), SIGSTOP);
    QElapsedTimer took;
    took.start();
    CloseHeldSessions();
    const qint64 elapsed = took.elapsed();
    if (serverStopped)
        SignalProcessTree(server_.pid(), SIGCONT);
    // A hang check: the goodbye has a bound of its own, of seconds.
    QVERIFY2(elapsed < 15'000, qPrintable(QStringLiteral("closing took %1 ms").arg(elapsed)));
    qInfo("closing took %lld ms", elapsed);
    // A stopped server reads the goodbye once it goes on.
    QTRY_COMPARE(goodbyes(), 1);
}

QTEST_GUILESS_MAIN(tst_HeldSessions)
#include "tst_heldsessions.moc"
