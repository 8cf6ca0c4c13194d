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

    const auto row = [](const char* name, const QString& mode, qint64 dropAfter,
                        const QStringList& steps, const QString& file, qint64 fileSize,
                        const QString& logged, Kind kind = Kind::Pyftpdlib,
                        const QString& host = QStringLiteral("127.0.0.1")) {
        QTest::newRow(name) << kind << mode << host << dropAfter << steps << file << fileSize
                            << logged;
    };
    const QStringList login{"CONNECT => 220", "LOGIN"};
    const QString upload = QStringLiteral("UPLOAD public_html/.a.tmp 3000 => 226");
    const QString big = QStringLiteral("UPLOAD public_html/.a.tmp 50000 => ");
    const QString tmp = QStringLiteral("public_html/.a.tmp");
    const QStringList renamed{"RNFR public_html/.a.tmp => 350", "RNTO public_html/a.txt => 250"};
    row("normal", "normal", 0,
        login + QStringList{upload, "SIZE public_html/.a.tmp => 213"} + renamed,
        "public_html/a.txt", 3000, "PASS s3cret");
    row("normal over IPv6", "normal", 0, login + QStringList{"UPLOAD public_html/ä.txt 100 => 226"},
        u"public_html/ä.txt"_s, 100, u"STOR public_html/ä.txt"_s, Kind::Pyftpdlib, "::1");
    row("no-rename", "no-rename", 0,
        login +
            QStringList{upload, "RNFR public_html/.a.tmp => 502", "RNTO public_html/a.txt => 502"},
        tmp, 3000, "RNTO public_html/a.txt");
    row("no-overwrite", "no-overwrite", 0,
        login + QStringList{upload, "UPLOAD public_html/a.txt 20 => 226",
                            "RNFR public_html/.a.tmp => 350", "RNTO public_html/a.txt => 553",
                            "RNFR public_html/.a.tmp => 350", "RNTO public_html/b.txt => 250"},
        "public_html/a.txt", 20, "");
    row("no-size", "no-size", 0, login + QStringList{upload, "SIZE public_html/.a.tmp => 502"}, tmp,
        3000, "SIZE public_html/.a.tmp");
    row("drop-mid-data", "drop-mid-data", 1000, login + QStringList{big + "closed"}, tmp, 1000, "");
    row("drop-after-data", "drop-after-data", 0, login + QStringList{big + "closed"}, tmp, 50000,
        "");
    row("drop-at-login", "drop-at-login", 0,
        {"CONNECT => 220", "USER %u => 331", "PASS %p => closed"}, "", -1, "PASS s3cret");
    row("drop-before-rename", "drop-before-rename", 0,
        login + QStringList{upload, "RNFR public_html/.a.tmp => closed"}, tmp, 3000, "");
    row("stall-reply", "stall-reply", 0,
        login + QStringList{"UPLOAD public_html/.a.tmp 3000 => silent"}, tmp, -1,
        "STOR public_html/.a.tmp");
    row("stall-data", "stall-data", 1000, login + QStringList{big + "silent"}, tmp, 1000, "");
    row("no-banner", "no-banner", 0, {"CONNECT => silent", "USER %u => silent"}, "", -1,
        "USER harlune");
    row("vsftpd", "normal", 0, login + QStringList{upload} + renamed, "public_html/a.txt", 3000,
        "RNTO public_html/a.txt", Kind::Vsftpd);
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
    if (!server.start({.mode = mode, .host = host, .dropAfter = dropAfter})) {
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
    QVERIFY2(server.start({.throttle = 20000}), qPrintable(server.errorString()));

    RawFtp ftp(server);
    QElapsedTimer timer;
    timer.start();
    runSteps(ftp, server, {"CONNECT => 220", "LOGIN", "UPLOAD public_html/t.bin 50000 => 226"});
    QCOMPARE_GE(timer.elapsed(), 1000);
    QCOMPARE(server.remoteBytes(QStringLiteral("public_html/t.bin")), payload(50000));
}

void TestFtpTestServer::stopEndsStalledServerPromptly() {
    FtpTestServer server;
    QVERIFY2(server.start({.mode = QStringLiteral("stall-data"), .dropAfter = 10}),
             qPrintable(server.errorString()));
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
    QVERIFY(!server.start({.mode = QStringLiteral("no-such-mode")}));
    QVERIFY(server.errorString().contains(QLatin1String("no-such-mode")));
    QVERIFY(server.skipReason().isEmpty());
    QVERIFY(!server.isRunning());
}

QTEST_GUILESS_MAIN(TestFtpTestServer)
#include "tst_ftptestserver.moc"
