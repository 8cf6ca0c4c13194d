// Publishes on the timer keep their log-in: each server's own log counts the
// log-ins while the real component publishes again and again, and sessions
// the server, the network or a change of destination ended must cost no
// failed upload. Publishes that end unwell (the connection broken mid-store or
// right after the list was removed, the program killed) never lose the
// list, and what they leave is cleared by a later one; publishes that
// overlap, in one program or two, never undo each other.
#include "TransferInet.h"
#include "FtpTestServer.h"
#include "HeldSessions.h"
#include "Learnt.h"
#include "ResponseCodes.h"
#include "SeededCopies.h"
#include "ServerLauncher.h"
#include "SshAccount.h"
#include "TcpForwarder.h"
#include "TestCertificates.h"
#include "TestFiles.h"
#include "TestProgram.h"
#include "TestServer.h"
#include "TransferTestHelpers.h"
#include "UploadFile.h"

#include <QDeadlineTimer>
#include <array>
#include <QFileInfo>
#include <QProcess>
#include <QDir>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <csignal>
#include <thread>
#include <grp.h>
#include <unistd.h>
#include <memory>

using namespace std::chrono_literals;

namespace {

// The timer's shortest interval for a minute: every publish after the
// first goes on the session the first one logged in. Publishes back to back
// hold the session the same way, in a fraction of the time.
constexpr int TimerUploads = 60;
constexpr auto TimerInterval = 1000ms;
constexpr auto BackToBack = 0ms;

// Closing a held session waits this long at most for the server: QUIT's
// reply limit of 2 s over FTP, which libcurl's wait for the reply checks
// once a second; ssh, stopped, has 0.3 s to exit and 1 s more once told to.
constexpr auto GoodbyeLimit = 3s;

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
    return ChannelList(upload % 7 + 1, upload);
}

// Starts a publish on a component of its own and returns at once, as the
// window does when the timer's upload and the button's overlap.
std::unique_ptr<TransferInet> startPut(const QString& host, const QString& user,
                                       const QString& password, const QString& local) {
    auto inet = std::make_unique<TransferInet>(TestTimeouts());
    inet->SetRemoteHost(host);
    inet->SetUserName(user);
    inet->SetPassword(password);
    inet->Execute(inet->URL(), "Put " + local + ' ' + Remote);
    return inet;
}

void waitFor(const std::array<std::unique_ptr<TransferInet>, 2>& inets) {
    while (inets[0]->StillExecuting() || inets[1]->StillExecuting())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

// What the server goes through before a publish of a sequence.
enum class Before { Nothing, Restart, RestartWithoutTls };

// One publish of a sequence that changes one thing at a time, and what the
// server's own log must show of it.
struct Step {
    QString transport = "ftp"; // "ftp" is typed as a bare host, with no scheme
    QString host = "localhost"; // the test certificate names localhost
    QString user = {};         // empty: the server's account
    QString password = {};     // empty: the right one
    bool otherPort = false;    // the same server through a forwarder's port
    Before before = Before::Nothing;
    int logIns = 0; // log-ins the publish makes
    bool works = true;
};

// What the server does to the sessions between publishes.
enum class Ending { IdleTimeout, Restart, Silence };

} // namespace

Q_DECLARE_METATYPE(ServerConfig)
Q_DECLARE_METATYPE(QList<Step>)
Q_DECLARE_METATYPE(Ending)
Q_DECLARE_METATYPE(std::chrono::milliseconds)
Q_DECLARE_METATYPE(Before)

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
    void sessionThatFailedIsNotHeld();
    void closingSaysGoodbye_data();
    void closingSaysGoodbye();
    void endsUnwell_data();
    void endsUnwell();
    void cutShortMidStore_data();
    void cutShortMidStore();
    void overlappingUploadsTakeTurns();
    void twoPublishersInOneFolder_data();
    void twoPublishersInOneFolder();

private:
    QString startServer(const ServerConfig& config);
    QString host(const QString& transport, const QString& name, quint16 port) const;
    // Writes the bytes of publish `upload` and publishes them.
    qint32 publish(int upload, const QString& host, const QString& password,
                   TransferTimeouts timeouts = TestTimeouts());
    void trustServer(quint16 port);

    QTemporaryDir dir_;
    SshAccount account_;
    TestServer server_;
};

void tst_HeldSessions::initTestCase() {
    SetUpTestProgram();
    QVERIFY(dir_.isValid());
    const QString error = MakeTestCertificateKinds(dir_.path());
    QVERIFY2(error.isEmpty(), qPrintable(error));
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
    account_.setKnownHosts(server_.knownHostsLine(port));
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
            SKIP_FOR_SERVER(error.mid(5));                                                         \
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
    // From the start of one publish to the start of the next.
    QTest::addColumn<std::chrono::milliseconds>("pace");
    QTest::addColumn<int>("logIns");

    QTest::newRow("vsftpd, ftp, 1 s apart: one log-in") << vsftpd() << "ftp" << TimerInterval << 1;
    QTest::newRow("proftpd, mod_tls as the matrix has it, ftpes: two log-ins, the held TLS 1.3 "
                  "session cannot open a second data connection there, TLS 1.2 from then on")
        << proftpd(ProftpdTls) << "ftpes" << BackToBack << 2;
    // pure-ftpd notes log-ins in syslog alone: its control connections are
    // counted at a forwarder instead.
    QTest::newRow("pure-ftpd, ftp: one control connection")
        << pureFtpd() << "ftp" << BackToBack << 1;
    QTest::newRow("OpenSSH, sftp: one log-in") << openSsh() << "sftp" << BackToBack << 1;
}

void tst_HeldSessions::timerKeepsOneLogIn() {
    QFETCH(ServerConfig, config);
    QFETCH(QString, transport);
    QFETCH(std::chrono::milliseconds, pace);
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
        const QDeadlineTimer next(pace);
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
    // Back to back: what a held session carries here depends on TLS, not on
    // the time between publishes.
    for (int upload = 1; upload <= 10; ++upload) {
        const int before = server_.logIns();
        const qint32 code = publish(upload, to, server_.password());
        VERIFY_PUBLISHED(upload, code);
        seen += QString::number(server_.logIns() - before);
    }
    QVERIFY2(QRegularExpression(logIns).match(seen).hasMatch(), qPrintable(seen));
    QCOMPARE(server_.refusedLogIns(), 0);
}

void tst_HeldSessions::endedSessionCostsNoUpload_data() {
    QTest::addColumn<ServerConfig>("config");
    QTest::addColumn<QString>("transport");
    QTest::addColumn<Ending>("ending");
    QTest::addColumn<int>("uploads");
    // What the server's log notes as it ends an idle session.
    QTest::addColumn<QString>("idleEnd");

    // The server's "421" waits unread on the held connection.
    QTest::newRow("vsftpd, idle_session_timeout=2, each upload once it ended the session")
        << vsftpd({"idle_session_timeout=2"}) << "ftp" << Ending::IdleTimeout << 3
        << R"(FTP response: Client "127.0.0.1", "421 Timeout.")";
    QTest::newRow("proftpd, TimeoutIdle 2, each upload once it ended the session")
        << proftpd({"TimeoutIdle 2"}) << "ftp" << Ending::IdleTimeout << 3
        << "Client session idle timeout, disconnected";
    QTest::newRow("vsftpd, restarted on its port between uploads")
        << vsftpd() << "ftp" << Ending::Restart << 3 << QString();
    QTest::newRow("OpenSSH, restarted on its port between uploads")
        << openSsh() << "sftp" << Ending::Restart << 3 << QString();
    // Nothing unread, nothing closed: only the first request's limit tells.
    QTest::newRow("vsftpd, the held connection silently dropped")
        << vsftpd() << "ftp" << Ending::Silence << 2 << QString();
    QTest::newRow("OpenSSH, the held connection silently dropped")
        << openSsh() << "sftp" << Ending::Silence << 2 << QString();
}

void tst_HeldSessions::endedSessionCostsNoUpload() {
    QFETCH(ServerConfig, config);
    QFETCH(QString, transport);
    QFETCH(Ending, ending);
    QFETCH(int, uploads);
    QFETCH(QString, idleEnd);
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
    // The reply limit is far longer than the held session's first-reply
    // limit, which must be what ends the wait on a silent connection.
    TransferTimeouts timeouts = TestTimeouts();
    timeouts.serverReply = 40s;
    timeouts.heldFirstReply = 2s;
    // A hang check: at most the first-reply limit, then a fresh log-in.
    const auto hangAfter = timeouts.heldFirstReply + timeouts.connect + 3s;
    const QString to = host(transport, "127.0.0.1", port);
    const auto idleEnds = [&] { return ReadTextFile(server_.logInLog()).count(idleEnd); };

    for (int upload = 1; upload <= uploads; ++upload) {
        if (upload > 1) {
            if (ending == Ending::IdleTimeout) {
                // The server ends the session 2 s after the last publish.
                QTRY_COMPARE_WITH_TIMEOUT(idleEnds(), upload - 1, 10'000);
            } else if (ending == Ending::Restart) {
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
        qInfo("publish %d took %lld ms", upload, took.elapsed());
        QVERIFY2(took.elapsed() < hangAfter.count(),
                 qPrintable(QStringLiteral("publish %1 took %2 ms, %3 ms at most")
                                .arg(upload)
                                .arg(took.elapsed())
                                .arg(hangAfter.count())));
    }
    // Every publish found its session ended and logged in afresh.
    QCOMPARE(server_.logIns(), uploads);
    if (forwarder)
        QCOMPARE(forwarder->connections(), uploads);
    // What a session that had ended may have opened ahead, the publish on a
    // fresh one took over under the same name: nothing is left.
    QCOMPARE(EntriesIn(server_.root(), "public_html"), QStringList{"channel_list.txt"});
}

void tst_HeldSessions::otherDestinationOtherSession_data() {
    QTest::addColumn<ServerConfig>("config");
    QTest::addColumn<QList<Step>>("steps");

    // vsftpd offers TLS (and requires it for a log-in), TLS 1.2 so that its
    // TLS sessions can be held.
    const QStringList tls{"ssl_enable=YES", "rsa_cert_file=@CERT@", "rsa_private_key_file=@KEY@"};
    const ServerConfig vsftpdTls = MakeServerConfig("vsftpd", {}, "vsftpd.sh", tls, true, "1.2");
    const auto row = [](const char* name, const ServerConfig& config, const QList<Step>& steps) {
        QTest::newRow(name) << config << steps;
    };
    // An ftpes:// session must never carry a bare host's publish: that one
    // asks for TLS of its own before it logs in.
    row("vsftpd: ftpes, the bare host, ftpes", vsftpdTls,
        {{.transport = "ftpes", .logIns = 1}, {.logIns = 1}, {.transport = "ftpes"}});
    row("vsftpd: the bare host, ftpes, the bare host", vsftpdTls,
        {{.logIns = 1}, {.transport = "ftpes", .logIns = 1}, {}});
    // The session the right password opened waits for it to come back.
    row("vsftpd: the right password, a wrong one, the right one", vsftpdTls,
        {{.logIns = 1}, {.password = "wrong", .works = false}, {}});
    row("vsftpd: the user, another user, the user", vsftpdTls,
        {{.logIns = 1}, {.user = "harlune-nobody", .works = false}, {}});
    row("vsftpd: its port, another port to it, its port", vsftpdTls,
        {{.logIns = 1}, {.otherPort = true, .logIns = 1}, {}});
    row("vsftpd: localhost, 127.0.0.1, localhost", vsftpdTls,
        {{.logIns = 1}, {.host = "127.0.0.1", .logIns = 1}, {}});
    row("vsftpd: restarted between two publishes", vsftpdTls,
        {{.logIns = 1}, {.before = Before::Restart, .logIns = 1}, {}});
    // It took TLS with a verified certificate: nothing may talk a later
    // publish down to clear text, on a held session or a fresh one.
    row("vsftpd: refuses TLS after it took it", vsftpdTls,
        {{.logIns = 1}, {.before = Before::RestartWithoutTls, .works = false}});
    row("OpenSSH: the right password, a wrong one, the right one", openSsh(),
        {{.transport = "sftp", .logIns = 1},
         {.transport = "sftp", .password = "wrong", .works = false},
         {.transport = "sftp"}});
    row("OpenSSH: the user, another user, the user", openSsh(),
        {{.transport = "sftp", .logIns = 1},
         {.transport = "sftp", .user = "harlune-nobody", .works = false},
         {.transport = "sftp"}});
    row("OpenSSH: localhost, 127.0.0.1, localhost", openSsh(),
        {{.transport = "sftp", .logIns = 1},
         {.transport = "sftp", .host = "127.0.0.1", .logIns = 1},
         {.transport = "sftp"}});
    // A name ssh's configuration gives a HostName: the held session's
    // address is checked against where that name leads.
    row("OpenSSH: a host of ssh's configuration, twice", openSsh(),
        {{.transport = "sftp", .host = "harlune-alias", .logIns = 1},
         {.transport = "sftp", .host = "harlune-alias"}});
    row("OpenSSH: restarted between two publishes", openSsh(),
        {{.transport = "sftp", .logIns = 1},
         {.transport = "sftp", .before = Before::Restart, .logIns = 1}});
}

// A connection of the server's log that sent a user name without having
// agreed to TLS first, as vsftpd's protocol log tells it; empty where none.
QString clearLogIn(const QString& log) {
    static const QRegularExpression line(
        R"re(\[pid (\d+)\] (?:\[[^]]*\] )?FTP (command|response): Client "[^"]*", "([^"]*)")re");
    QSet<QString> agreed;
    for (auto it = line.globalMatch(log); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        if (m.captured(2) == "response" && m.captured(3).startsWith("234 "))
            agreed.insert(m.captured(1));
        else if (m.captured(2) == "command" && m.captured(3).startsWith("USER ") &&
                 !agreed.contains(m.captured(1)))
            return m.captured(0);
    }
    return {};
}

void tst_HeldSessions::otherDestinationOtherSession() {
    QFETCH(ServerConfig, config);
    QFETCH(QList<Step>, steps);
    START_SERVER(config);
    const bool ssh = config.launcher == "sshd.sh";
    if (ssh) {
        QVERIFY(account_.addKnownHost(server_.knownHostsLine(0, "localhost")));
        QVERIFY(account_.setConfig("Host harlune-alias\n    HostName 127.0.0.1\n"));
    }
    TcpForwarder forwarder(server_.port());
    QVERIFY(forwarder.start());

    int published = 0;
    for (int upload = 1; upload <= steps.size(); ++upload) {
        const Step& step = steps[upload - 1];
        if (step.before != Before::Nothing) {
            const QString error = step.before == Before::Restart
                                      ? server_.restart()
                                      : server_.restartWith(QStringList{});
            QVERIFY2(error.isEmpty(), qPrintable(error));
        }
        const quint16 port = step.otherPort ? forwarder.port() : server_.port();
        const QString to = step.transport == "ftp"
                               ? QStringLiteral("%1:%2").arg(step.host).arg(port)
                               : host(step.transport, step.host, port);
        const int logInsBefore = server_.logIns(), refusedBefore = server_.refusedLogIns();
        QVERIFY(WriteLocalFile(dir_.filePath("channel_list.txt"), listBytes(upload)));
        TransferInet inet(TestTimeouts());
        const qint32 code = RunPut(inet, to, step.user.isEmpty() ? server_.user() : step.user,
                                   step.password.isEmpty() ? server_.password() : step.password,
                                   dir_.filePath("channel_list.txt"), Remote);
        const QString what = QStringLiteral("publish %1 to %2").arg(upload).arg(to);
        if (step.works) {
            QVERIFY2(code == ResponseCodes::Ok, qPrintable(what + " answered " +
                                                           QString::number(code)));
            published = upload;
        } else {
            QVERIFY2(code != ResponseCodes::Ok, qPrintable(what + " went out"));
        }
        QVERIFY2(BytesIn(server_.root(), Remote) == (published ? listBytes(published) : ""),
                 qPrintable(what + ": not what the server's disk holds"));
        // The server's own log: a log-in only where a session of this very
        // destination was not held, and a refusal for every wrong one.
        QTRY_COMPARE(server_.logIns() - logInsBefore, step.logIns);
        const bool refusedLogIn = !step.user.isEmpty() || !step.password.isEmpty();
        QTRY_COMPARE(server_.refusedLogIns() - refusedBefore, refusedLogIn ? 1 : 0);
        if (!ssh) {
            const QString clear = clearLogIn(ReadTextFile(server_.logInLog()));
            QVERIFY2(clear.isEmpty(), qPrintable(what + ": a log-in in clear text: " + clear));
        }
    }
}

void tst_HeldSessions::sessionThatFailedIsNotHeld() {
    // OpenSSH's sftp-server behind a relay that never answers a REMOVE, and
    // a list in another group than a new file gets: each publish stores in
    // place and removes its copy, and that clean-up goes unanswered.
    START_SERVER(MakeServerConfig("OpenSSH", {}, "sshd.sh", {"password", "drop=REMOVE"}));
    const group* www = ::getgrnam("www-data");
    QVERIFY(www);
    QVERIFY(WriteIn(server_.root(), Remote, listBytes(0), server_.sessionOwner()));
    QVERIFY(::chown(QFile::encodeName(server_.root() + '/' + Remote).constData(), -1,
                    www->gr_gid) == 0);
    TransferTimeouts timeouts = TestTimeouts();
    timeouts.cleanup = 1s;
    const QString to = host("sftp", "127.0.0.1", server_.port());
    for (int upload = 1; upload <= 2; ++upload) {
        const qint32 code = publish(upload, to, server_.password(), timeouts);
        VERIFY_PUBLISHED(upload, code);
    }
    // The first publish's session saw its clean-up time out: the second
    // logged in anew instead of failing on it.
    QCOMPARE(server_.logIns(), 2);
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
    // A hang check: the goodbye has a bound of its own.
    const auto hangAfter = std::chrono::milliseconds(GoodbyeLimit + 2s);
    QVERIFY2(elapsed < hangAfter.count(),
             qPrintable(QStringLiteral("closing took %1 ms, %2 ms at most")
                            .arg(elapsed)
                            .arg(hangAfter.count())));
    qInfo("closing took %lld ms", elapsed);
    // A stopped server reads the goodbye once it goes on.
    QTRY_COMPARE(goodbyes(), 1);
}

void tst_HeldSessions::endsUnwell_data() {
    QTest::addColumn<ServerConfig>("config");
    QTest::addColumn<QString>("transport");
    QTest::addColumn<bool>("firstWorks");
    // A listing that tells nothing of the list's own time judges no copy.
    QTest::addColumn<bool>("agedKept");
    // The link breaks after the list was removed, and no fresh log-in can
    // be had: the copy holds the list until the next publish puts it in
    // place.
    QTest::addColumn<bool>("copyHoldsList");

    const auto pyftpdlib = [](const QStringList& options) {
        return MakeServerConfig("pyftpdlib", {}, "ftpserver.py", options);
    };
    const auto hostile = [&](const char* listing) {
        return pyftpdlib({"--mode", "hostile-listing", "--listing", listing});
    };
    // clang-format off
    QTest::newRow("ftp, no rename onto a file: the link breaks right after the list was removed")
        << pyftpdlib({"--mode", "drop-after-removal"}) << "ftp" << true << false << false;
    QTest::newRow("ftp, no rename onto a file: the link breaks right after the list was removed, no log-in after it")
        << pyftpdlib({"--mode", "drop-after-removal-awhile"}) << "ftp" << false << false << true;
    QTest::newRow("sftp, no posix-rename: the link breaks right after the list was removed")
        << MakeServerConfig("OpenSSH", {}, "sshd.sh", {"password", "cut=REMOVE:channel_list.txt", "-P", "posix-rename"})
        << "sftp" << true << false << false;
    QTest::newRow("sftp: the link breaks mid-store, the next publish removes the copy")
        << MakeServerConfig("OpenSSH", {}, "sshd.sh", {"password", "cut=WRITE:"}) << "sftp" << false << false << false;
    QTest::newRow("ftp: the link breaks mid-store") << pyftpdlib({"--mode", "drop-mid-data-once", "--drop-after", "1000"}) << "ftp" << false << false << false;
    QTest::newRow("ftp: a listing of 100 000 names") << hostile("huge") << "ftp" << true << false << false;
    QTest::newRow("ftp: a listing that never ends") << hostile("endless") << "ftp" << true << true << false;
    QTest::newRow("ftp: control characters, invalid UTF-8, a 1 MB line") << hostile("garbled") << "ftp" << true << false << false;
    // clang-format on
}

void tst_HeldSessions::endsUnwell() {
    QFETCH(ServerConfig, config);
    QFETCH(QString, transport);
    QFETCH(bool, firstWorks);
    QFETCH(bool, agedKept);
    QFETCH(bool, copyHoldsList);
    START_SERVER(config);
    ForgetEverything();
    const QByteArray old = "the list as published before\n";
    QVERIFY(WriteIn(server_.root(), Remote, old, server_.sessionOwner()));
    const auto seeded = SeedCopies(server_.root(), "public_html", server_.sessionOwner());
    QVERIFY(seeded);
    const QString to = host(transport, "127.0.0.1", server_.port());
    const QString local = dir_.filePath("channel_list.txt");
    QList<QByteArray> published{old};
    for (int upload = 1; upload <= 2; ++upload) {
        // Long enough for a store to be cut in the middle.
        const QByteArray bytes = listBytes(upload).repeated(400);
        QVERIFY(WriteLocalFile(local, bytes));
        TransferInet inet(TestTimeouts());
        const qint32 code = RunPut(inet, to, server_.user(), server_.password(), local, Remote);
        const bool works = upload == 2 || firstWorks;
        QVERIFY2((code == ResponseCodes::Ok) == works,
                 qPrintable(QStringLiteral("publish %1 answered %2: %3")
                                .arg(upload)
                                .arg(code)
                                .arg(inet.ResponseInfo())));
        if (works)
            published = {bytes};
        // The list is there, old or new, whole; or its copy, whole, where the
        // server could not be reached to put it in place.
        QByteArray there = BytesIn(server_.root(), Remote);
        if (upload == 1 && copyHoldsList) {
            QVERIFY(!QFileInfo::exists(server_.root() + '/' + Remote));
            for (const QString& name : EntriesIn(server_.root(), "public_html")) {
                if (!seeded->all().contains(name) && name.endsWith(".part"))
                    there = BytesIn(server_.root(), "public_html/" + name);
            }
            QCOMPARE(there, bytes);
            continue;
        }
        QVERIFY2(published.contains(there),
                 qPrintable(QStringLiteral("publish %1 left %2 bytes of the list")
                                .arg(upload)
                                .arg(there.size())));
    }
    QStringList left = EntriesIn(server_.root(), "public_html");
    for (const QString& name : seeded->all())
        left.removeAll(name);
    QCOMPARE(left, QStringList{"channel_list.txt"});
    const QString amiss = seeded->check(agedKept ? seeded->aged : QStringList{});
    QVERIFY2(amiss.isEmpty(), qPrintable(amiss));
}

void tst_HeldSessions::cutShortMidStore_data() {
    QTest::addColumn<bool>("killed");
    QTest::newRow("the program killed; the next run") << true;
    QTest::newRow("the window closed; the same run") << false;
}

// A run killed in the middle of its store (a crash, a power cut, a log-out)
// leaves its copy; the next run's first publish removes it once it is older
// than any live publish could leave it. An upload ended by closing the
// window removes its copy before the program quits.
void tst_HeldSessions::cutShortMidStore() {
    QFETCH(bool, killed);
    FtpTestServer server;
    QVERIFY2(server.start({.throttle = 20'000}), qPrintable(server.errorString()));
    ForgetEverything();
    QVERIFY(server.writeRemote(Remote, "old\n"));
    const QString local = dir_.filePath("big_list.txt");
    QVERIFY(WriteLocalFile(local, listBytes(1).repeated(2000)));
    const QString to = "ftp://" + server.hostPort();
    const QString folder = server.root() + "/public_html";
    QString copy;
    const auto copyStored = [&] {
        for (const QString& name : server.entries("public_html")) {
            if (name.endsWith(".part") && QFileInfo(folder + '/' + name).size() > 0)
                copy = name;
        }
        return !copy.isEmpty();
    };
    if (killed) {
        QProcess run;
        run.start(QCoreApplication::applicationFilePath(),
                  {"--publish", to, server.user(), server.password(), local, Remote});
        QVERIFY(run.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(copyStored(), 10000);
        ::kill(static_cast<pid_t>(run.processId()), SIGKILL);
        QVERIFY(run.waitForFinished());
        QVERIFY(AgeFile(folder + '/' + copy, 3 * 3600));
    } else {
        // The window's close ends the component: an abort, then its end.
        auto inet = startPut(to, server.user(), server.password(), local);
        QTRY_VERIFY_WITH_TIMEOUT(copyStored(), 10000);
        inet.reset();
    }
    QCOMPARE(QFileInfo::exists(folder + '/' + copy), killed);
    QCOMPARE(server.remoteBytes(Remote), QByteArray("old\n"));

    QVERIFY(WriteLocalFile(local, listBytes(2)));
    TransferInet inet(TestTimeouts());
    QCOMPARE(RunPut(inet, to, server.user(), server.password(), local, Remote), ResponseCodes::Ok);
    QCOMPARE(server.remoteBytes(Remote), listBytes(2));
    QCOMPARE(server.entries("public_html"), QStringList{"channel_list.txt"});
}

// Upload pressed while the timer's upload runs, on a server that renames
// nothing onto a file: one waits for the other, and neither takes the
// other's rename for what the server can do.
void tst_HeldSessions::overlappingUploadsTakeTurns() {
    FtpTestServer server;
    QVERIFY2(server.start({.mode = "no-overwrite"}), qPrintable(server.errorString()));
    QVERIFY(server.writeRemote(Remote, "old\n"));
    const QString to = "ftp://" + server.hostPort();
    for (int round = 1; round <= 4; ++round) {
        std::array<QString, 2> locals;
        std::array<std::unique_ptr<TransferInet>, 2> inets;
        for (int i = 0; i < 2; ++i) {
            locals[i] = dir_.filePath(QStringLiteral("list%1.txt").arg(i));
            QVERIFY(WriteLocalFile(locals[i], listBytes(round * 2 + i)));
            inets[i] = startPut(to, server.user(), server.password(), locals[i]);
        }
        waitFor(inets);
        for (const auto& inet : inets)
            QVERIFY2(inet->ResponseCode() == ResponseCodes::Ok, qPrintable(inet->ResponseInfo()));
        const QByteArray there = server.remoteBytes(Remote);
        QVERIFY(there == listBytes(round * 2) || there == listBytes(round * 2 + 1));
    }
    // The first publish finds out that the server renames only onto a free
    // name; no refusal after that.
    const QStringList commands = server.commands();
    QVERIFY2(commands.filter("REFUSED").size() == 1, qPrintable(commands.join('\n')));
    // Never stored over the list in place: every store went to a copy.
    QVERIFY2(!commands.contains("STOR " + Remote), qPrintable(commands.join('\n')));
    QCOMPARE(server.entries("public_html"), QStringList{"channel_list.txt"});
}

void tst_HeldSessions::twoPublishersInOneFolder_data() {
    QTest::addColumn<ServerConfig>("config");
    QTest::addColumn<QString>("transport");
    QTest::addColumn<bool>("sideBySide");
    QTest::newRow("vsftpd, alternating") << vsftpd() << "ftp" << false;
    QTest::newRow("vsftpd, side by side") << vsftpd() << "ftp" << true;
    QTest::newRow("OpenSSH, alternating") << openSsh() << "sftp" << false;
    QTest::newRow("OpenSSH, side by side") << openSsh() << "sftp" << true;
}

// Another copy of the program (here: this one by another name for the
// host, which shares nothing with the first) publishes to the same folder:
// neither removes the other's copy, nor ever shows a reader a torn or
// missing list.
void tst_HeldSessions::twoPublishersInOneFolder() {
    QFETCH(ServerConfig, config);
    QFETCH(QString, transport);
    QFETCH(bool, sideBySide);
    START_SERVER(config);
    QVERIFY(account_.addKnownHost(server_.knownHostsLine(0, "localhost")));
    const QString finalPath = server_.root() + '/' + Remote;
    QVERIFY(WriteIn(server_.root(), Remote, listBytes(0), server_.sessionOwner()));
    constexpr int Rounds = 6;
    QSet<QByteArray> versions{listBytes(0)};
    for (int n = 1; n <= 2 * Rounds; ++n)
        versions.insert(listBytes(n).repeated(50));
    std::atomic<bool> stop = false;
    QString seen;
    std::thread reader([&] {
        while (!stop) {
            QFile file(finalPath);
            const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : "(missing)";
            if (!versions.contains(bytes)) {
                seen = QString::fromUtf8(bytes.left(80));
                return;
            }
        }
    });
    const QStringList hosts{host(transport, "127.0.0.1", server_.port()),
                            host(transport, "localhost", server_.port())};
    int n = 0;
    for (int round = 0; round < Rounds; ++round) {
        std::array<std::unique_ptr<TransferInet>, 2> inets;
        for (int i = 0; i < 2; ++i) {
            const QString local = dir_.filePath(QStringLiteral("publisher%1.txt").arg(i));
            QVERIFY(WriteLocalFile(local, listBytes(++n).repeated(50)));
            inets[i] = startPut(hosts[i], server_.user(), server_.password(), local);
            while (!sideBySide && inets[i]->StillExecuting())
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        waitFor(inets);
        for (const auto& inet : inets)
            QVERIFY2(inet->ResponseCode() == ResponseCodes::Ok, qPrintable(inet->ResponseInfo()));
    }
    stop = true;
    reader.join();
    QVERIFY2(seen.isEmpty(), qPrintable("a reader found the list as: " + seen));
    QCOMPARE(EntriesIn(server_.root(), "public_html"), QStringList{"channel_list.txt"});
    // vsftpd logs each command and its reply: no store, rename or removal
    // was refused.
    QString command;
    for (const QString& line : ReadTextFile(server_.logInLog()).split('\n')) {
        if (line.contains("FTP command: "))
            command = line.section('"', 3, 3);
        else if (line.contains(R"(FTP response: )") && line.section('"', 3, 3).startsWith('5'))
            QVERIFY2(!command.startsWith("STOR") && !command.startsWith("RN") &&
                         !command.startsWith("DELE"),
                     qPrintable(command + ": " + line));
    }
}

// The test binary is also "a run of the program" that another test kills:
// with --publish it publishes once and exits.
int main(int argc, char** argv) {
    if (argc == 7 && qstrcmp(argv[1], "--publish") == 0) {
        QCoreApplication app(argc, argv);
        SetUpTestProgram();
        TransferInet inet(TestTimeouts());
        const auto arg = [&](int i) { return QString::fromLocal8Bit(argv[i]); };
        return RunPut(inet, arg(2), arg(3), arg(4), arg(5), arg(6)) == ResponseCodes::Ok ? 0 : 1;
    }
    QCoreApplication app(argc, argv);
    tst_HeldSessions test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_heldsessions.moc"
