#include "FtpTestServer.h"
#include "ServerSkip.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

using Kind = FtpTestServer::Kind;

QByteArray payload(qint64 size) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = char(i * 7 % 251);
    return bytes;
}

// Plain FTP over QTcpSocket, so that the servers are checked on their own.
// Each call gives the reply code, "closed" when the server hung up, or
// "silent" when nothing came within the wait.
class RawFtp {
public:
    explicit RawFtp(const FtpTestServer& server) : m_server(server) {}

    QString connect(int waitMs) {
        m_control.connectToHost(m_server.host(), m_server.port());
        if (!m_control.waitForConnected(5000))
            return QStringLiteral("refused");
        return reply(waitMs);
    }

    QString command(const QString& line, int waitMs) {
        m_control.write(line.toUtf8() + "\r\n");
        m_control.waitForBytesWritten(1000);
        return reply(waitMs);
    }

    QString upload(const QString& path, qint64 size, int waitMs) {
        if (command(QStringLiteral("TYPE I"), 5000) != QLatin1String("200"))
            return QStringLiteral("TYPE failed");
        if (command(QStringLiteral("EPSV"), 5000) != QLatin1String("229"))
            return QStringLiteral("EPSV failed");
        static const QRegularExpression epsvPort(QStringLiteral("\\(\\|\\|\\|(\\d+)\\|\\)"));
        const auto match = epsvPort.match(m_lastLine);
        QTcpSocket data;
        data.connectToHost(m_server.host(), match.captured(1).toUShort());
        if (!match.hasMatch() || !data.waitForConnected(5000))
            return QStringLiteral("no data connection");

        const QString opened = command(QStringLiteral("STOR ") + path, waitMs);
        if (opened != QLatin1String("150") && opened != QLatin1String("125"))
            return opened;
        data.write(payload(size));
        while (data.bytesToWrite() > 0 && data.waitForBytesWritten(5000)) {
        }
        data.disconnectFromHost();
        return reply(waitMs);
    }

private:
    QString reply(int waitMs) {
        static const QRegularExpression finalLine(QStringLiteral("^(\\d{3}) "));
        QDeadlineTimer deadline(waitMs);
        for (;;) {
            while (m_control.canReadLine()) {
                m_lastLine = QString::fromUtf8(m_control.readLine()).trimmed();
                if (const auto match = finalLine.match(m_lastLine + QLatin1Char(' '));
                    match.hasMatch())
                    return match.captured(1);
            }
            if (m_control.state() != QAbstractSocket::ConnectedState)
                return QStringLiteral("closed");
            if (deadline.hasExpired())
                return QStringLiteral("silent");
            m_control.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
        }
    }

    const FtpTestServer& m_server;
    QTcpSocket m_control;
    QString m_lastLine;
};

// Runs "COMMAND args => expected" steps; CONNECT, LOGIN and "UPLOAD path size"
// are shorthands. A step expecting "silent" waits less.
void runSteps(RawFtp& ftp, const FtpTestServer& server, const QStringList& steps) {
    for (QString step : steps) {
        step.replace(QLatin1String("%u"), server.user())
            .replace(QLatin1String("%p"), server.password());
        if (step == QLatin1String("LOGIN")) {
            QCOMPARE(ftp.command(QStringLiteral("USER ") + server.user(), 5000),
                     QStringLiteral("331"));
            QCOMPARE(ftp.command(QStringLiteral("PASS ") + server.password(), 5000),
                     QStringLiteral("230"));
            continue;
        }
        const QString command = step.section(QLatin1String(" => "), 0, 0);
        const QString expected = step.section(QLatin1String(" => "), 1);
        const int waitMs = expected == QLatin1String("silent") ? 800 : 5000;
        QString got;
        if (command == QLatin1String("CONNECT"))
            got = ftp.connect(waitMs);
        else if (command.startsWith(QLatin1String("UPLOAD ")))
            got = ftp.upload(command.section(QLatin1Char(' '), 1, 1),
                             command.section(QLatin1Char(' '), 2, 2).toLongLong(), waitMs);
        else
            got = ftp.command(command, waitMs);
        QVERIFY2(got == expected, qPrintable(step + QStringLiteral(": got ") + got));
    }
}

} // namespace

class TestFtpTestServer : public QObject {
    Q_OBJECT

private slots:
    void modes_data();
    void modes();
    void throttleSlowsUploads();
    void stopEndsStalledServerPromptly();
    void badModeFailsWithoutHanging();
};

void TestFtpTestServer::modes_data() {
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("host");
    QTest::addColumn<qint64>("dropAfter");
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QString>("file");    // checked afterwards under root()
    QTest::addColumn<qint64>("fileSize"); // -1: must not exist
    QTest::addColumn<QString>("logged");  // a line commands() must hold

    const QString upload = QStringLiteral("UPLOAD public_html/.a.tmp 3000 => 226");
    QTest::newRow("normal") << Kind::Pyftpdlib << u"normal"_s << u"127.0.0.1"_s << qint64(0)
                            << QStringList{"CONNECT => 220",
                                           "LOGIN",
                                           upload,
                                           "SIZE public_html/.a.tmp => 213",
                                           "RNFR public_html/.a.tmp => 350",
                                           "RNTO public_html/a.txt => 250"}
                            << u"public_html/a.txt"_s << qint64(3000) << u"PASS s3cret"_s;
    QTest::newRow("normal over IPv6")
        << Kind::Pyftpdlib << u"normal"_s << u"::1"_s << qint64(0)
        << QStringList{"CONNECT => 220", "LOGIN", "UPLOAD public_html/ä.txt 100 => 226"}
        << u"public_html/ä.txt"_s << qint64(100) << u"STOR public_html/ä.txt"_s;
    QTest::newRow("no-rename") << Kind::Pyftpdlib << u"no-rename"_s << u"127.0.0.1"_s << qint64(0)
                               << QStringList{"CONNECT => 220", "LOGIN", upload,
                                              "RNFR public_html/.a.tmp => 502",
                                              "RNTO public_html/a.txt => 502"}
                               << u"public_html/.a.tmp"_s << qint64(3000)
                               << u"RNTO public_html/a.txt"_s;
    QTest::newRow("no-overwrite") << Kind::Pyftpdlib << u"no-overwrite"_s << u"127.0.0.1"_s
                                  << qint64(0)
                                  << QStringList{"CONNECT => 220",
                                                 "LOGIN",
                                                 upload,
                                                 "UPLOAD public_html/a.txt 20 => 226",
                                                 "RNFR public_html/.a.tmp => 350",
                                                 "RNTO public_html/a.txt => 553",
                                                 "RNFR public_html/.a.tmp => 350",
                                                 "RNTO public_html/b.txt => 250"}
                                  << u"public_html/a.txt"_s << qint64(20) << u""_s;
    QTest::newRow("no-size") << Kind::Pyftpdlib << u"no-size"_s << u"127.0.0.1"_s << qint64(0)
                             << QStringList{"CONNECT => 220", "LOGIN", upload,
                                            "SIZE public_html/.a.tmp => 502"}
                             << u"public_html/.a.tmp"_s << qint64(3000)
                             << u"SIZE public_html/.a.tmp"_s;
    QTest::newRow("drop-mid-data")
        << Kind::Pyftpdlib << u"drop-mid-data"_s << u"127.0.0.1"_s << qint64(1000)
        << QStringList{"CONNECT => 220", "LOGIN", "UPLOAD public_html/.a.tmp 50000 => closed"}
        << u"public_html/.a.tmp"_s << qint64(1000) << u""_s;
    QTest::newRow("drop-after-data")
        << Kind::Pyftpdlib << u"drop-after-data"_s << u"127.0.0.1"_s << qint64(0)
        << QStringList{"CONNECT => 220", "LOGIN", "UPLOAD public_html/.a.tmp 50000 => closed"}
        << u"public_html/.a.tmp"_s << qint64(50000) << u""_s;
    QTest::newRow("drop-at-login")
        << Kind::Pyftpdlib << u"drop-at-login"_s << u"127.0.0.1"_s << qint64(0)
        << QStringList{"CONNECT => 220", "USER %u => 331", "PASS %p => closed"} << u""_s
        << qint64(-1) << u"PASS s3cret"_s;
    QTest::newRow("drop-before-rename")
        << Kind::Pyftpdlib << u"drop-before-rename"_s << u"127.0.0.1"_s << qint64(0)
        << QStringList{"CONNECT => 220", "LOGIN", upload, "RNFR public_html/.a.tmp => closed"}
        << u"public_html/.a.tmp"_s << qint64(3000) << u""_s;
    QTest::newRow("stall-reply") << Kind::Pyftpdlib << u"stall-reply"_s << u"127.0.0.1"_s
                                 << qint64(0)
                                 << QStringList{"CONNECT => 220", "LOGIN",
                                                "UPLOAD public_html/.a.tmp 3000 => silent"}
                                 << u"public_html/.a.tmp"_s << qint64(-1)
                                 << u"STOR public_html/.a.tmp"_s;
    QTest::newRow("stall-data") << Kind::Pyftpdlib << u"stall-data"_s << u"127.0.0.1"_s
                                << qint64(1000)
                                << QStringList{"CONNECT => 220", "LOGIN",
                                               "UPLOAD public_html/.a.tmp 50000 => silent"}
                                << u"public_html/.a.tmp"_s << qint64(1000) << u""_s;
    QTest::newRow("no-banner") << Kind::Pyftpdlib << u"no-banner"_s << u"127.0.0.1"_s << qint64(0)
                               << QStringList{"CONNECT => silent", "USER %u => silent"} << u""_s
                               << qint64(-1) << u"USER harlune"_s;
    QTest::newRow("vsftpd") << Kind::Vsftpd << u"normal"_s << u"127.0.0.1"_s << qint64(0)
                            << QStringList{"CONNECT => 220", "LOGIN", upload,
                                           "RNFR public_html/.a.tmp => 350",
                                           "RNTO public_html/a.txt => 250"}
                            << u"public_html/a.txt"_s << qint64(3000)
                            << u"RNTO public_html/a.txt"_s;
}

void TestFtpTestServer::modes() {
    QFETCH(Kind, kind);
    QFETCH(QString, mode);
    QFETCH(QString, host);
    QFETCH(qint64, dropAfter);
    QFETCH(QStringList, steps);
    QFETCH(QString, file);
    QFETCH(qint64, fileSize);
    QFETCH(QString, logged);

    FtpTestServer server(kind);
    FtpTestServer::Options options;
    options.mode = mode;
    options.host = host;
    options.dropAfter = dropAfter;
    if (!server.start(options)) {
        if (!server.skipReason().isEmpty())
            SKIP_FOR_SERVER(server.skipReason());
        QFAIL(qPrintable(server.errorString()));
    }
    QCOMPARE(server.entries(QString()), QStringList{QStringLiteral("public_html")});
    QVERIFY(server.entries(QStringLiteral("public_html")).isEmpty());

    RawFtp ftp(server);
    runSteps(ftp, server, steps);
    if (QTest::currentTestFailed())
        return;

    if (!file.isEmpty()) {
        const bool exists = QFileInfo::exists(server.root() + QLatin1Char('/') + file);
        QCOMPARE(exists, fileSize >= 0);
        // The server may still be writing its last bytes when the client
        // has seen the connection go.
        if (exists)
            QTRY_COMPARE_WITH_TIMEOUT(server.remoteBytes(file), payload(fileSize), 5000);
    }
    if (!logged.isEmpty())
        QVERIFY2(server.commands().contains(logged), qPrintable(server.commands().join(u'|')));
    QCOMPARE(server.commands().value(0), QStringLiteral("CONNECT"));
}

void TestFtpTestServer::throttleSlowsUploads() {
    FtpTestServer server;
    FtpTestServer::Options options;
    options.throttle = 20000;
    QVERIFY2(server.start(options), qPrintable(server.errorString()));

    RawFtp ftp(server);
    QElapsedTimer timer;
    timer.start();
    runSteps(ftp, server, {"CONNECT => 220", "LOGIN", "UPLOAD public_html/t.bin 50000 => 226"});
    QCOMPARE_GE(timer.elapsed(), 1000);
    QCOMPARE(server.remoteBytes(QStringLiteral("public_html/t.bin")), payload(50000));
}

void TestFtpTestServer::stopEndsStalledServerPromptly() {
    FtpTestServer server;
    FtpTestServer::Options options;
    options.mode = QStringLiteral("stall-data");
    options.dropAfter = 10;
    QVERIFY2(server.start(options), qPrintable(server.errorString()));
    const quint16 port = server.port();

    RawFtp ftp(server);
    runSteps(ftp, server, {"CONNECT => 220", "LOGIN", "UPLOAD public_html/t.bin 5000 => silent"});

    QElapsedTimer timer;
    timer.start();
    server.stop();
    QCOMPARE_LT(timer.elapsed(), 3000);
    QVERIFY(!server.isRunning());

    QTcpSocket probe;
    probe.connectToHost(QStringLiteral("127.0.0.1"), port);
    QVERIFY(!probe.waitForConnected(1000));
}

void TestFtpTestServer::badModeFailsWithoutHanging() {
    FtpTestServer server;
    FtpTestServer::Options options;
    options.mode = QStringLiteral("no-such-mode");
    QVERIFY(!server.start(options));
    QVERIFY(server.errorString().contains(QLatin1String("no-such-mode")));
    QVERIFY(server.skipReason().isEmpty());
    QVERIFY(!server.isRunning());
}

QTEST_GUILESS_MAIN(TestFtpTestServer)
#include "tst_ftptestserver.moc"
