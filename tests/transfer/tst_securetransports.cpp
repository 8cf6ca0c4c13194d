#include "TransferInet.h"
#include "FtpTestServer.h"
#include "FtpFailure.h"
#include "ResponseCodes.h"
#include "SecureTestServer.h"
#include "SshAccount.h"
#include "TestFiles.h"
#include "TestProgram.h"
#include "TransferTestHelpers.h"
#include "UploadFile.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <curl/curl.h>

class tst_SecureTransports : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void tlsPublishes_data();
    void tlsPublishes();
    void tlsTrustFromCertDir();
    void tlsRefusals_data();
    void tlsRefusals();
    void plainServerGetsNoPassword();
    void sftpPublishes();
    void sftpHostKeyRefusals_data();
    void sftpHostKeyRefusals();

private:
    bool upload(const QString& host, const QString& user, const QString& password) {
        return UploadFile(TransferInetFactory(TestTimeouts()), host, user, password, local_,
                          QStringLiteral("public_html/channel_list.txt"));
    }
    QTemporaryDir dir_;
    QString local_;
    QByteArray bytes_ = ChannelList(2000);
};

void tst_SecureTransports::initTestCase() {
    SetUpTestProgram();
    local_ = dir_.filePath("channel_list.txt");
    QVERIFY(WriteLocalFile(local_, bytes_));
}

void tst_SecureTransports::init() {
    qunsetenv("SSL_CERT_FILE");
    qunsetenv("SSL_CERT_DIR");
}

void tst_SecureTransports::tlsPublishes_data() {
    QTest::addColumn<SecureTestServer::Kind>("kind");
    QTest::addColumn<QString>("scheme");
    QTest::newRow("explicit") << SecureTestServer::Kind::ExplicitTls << "ftpes";
    QTest::newRow("implicit") << SecureTestServer::Kind::ImplicitTls << "ftps";
}

void tst_SecureTransports::tlsPublishes() {
    QFETCH(SecureTestServer::Kind, kind);
    QFETCH(QString, scheme);
    SecureTestServer server(kind);
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QVERIFY(server.writeRemote("public_html/channel_list.txt", "old\n"));
    qputenv("SSL_CERT_FILE", QFile::encodeName(server.caFile()));
    const QString host = QStringLiteral("%1://localhost:%2").arg(scheme).arg(server.port());
    // Twice: the second store replaces the first under TLS as well. The bytes
    // are compared, since a TLS store can end as an empty file.
    for (int i = 0; i < 2; ++i)
        QVERIFY(upload(host, server.user(), server.password()));
    QCOMPARE(server.remoteBytes("public_html/channel_list.txt"), bytes_);
    QCOMPARE(server.entries("public_html"), QStringList{"channel_list.txt"});
}

void tst_SecureTransports::tlsTrustFromCertDir() {
    SecureTestServer server(SecureTestServer::Kind::ExplicitTls);
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QTemporaryDir certs;
    QVERIFY(QFile::copy(server.caFile(), certs.filePath("test-authority.pem")));
    QCOMPARE(QProcess::execute("openssl", {"rehash", certs.path()}), 0);
    qputenv("SSL_CERT_DIR", QFile::encodeName(certs.path()));
    QVERIFY(upload(QStringLiteral("ftpes://localhost:%1").arg(server.port()), server.user(),
                   server.password()));
    QCOMPARE(server.remoteBytes("public_html/channel_list.txt"), bytes_);
}

void tst_SecureTransports::tlsRefusals_data() {
    QTest::addColumn<QString>("certName");
    QTest::addColumn<bool>("trusted");
    QTest::addColumn<QString>("hostName");
    QTest::newRow("certificate for another name") << "other.example" << true << "localhost";
    QTest::newRow("address not in certificate") << "localhost" << true << "127.0.0.1";
    QTest::newRow("authority not trusted") << "localhost" << false << "localhost";
}

void tst_SecureTransports::tlsRefusals() {
    QFETCH(QString, certName);
    QFETCH(bool, trusted);
    QFETCH(QString, hostName);
    SecureTestServer server(SecureTestServer::Kind::ExplicitTls);
    QVERIFY2(server.start(certName), qPrintable(server.errorString()));
    if (trusted)
        qputenv("SSL_CERT_FILE", QFile::encodeName(server.caFile()));
    TransferInet inet(TestTimeouts());
    QCOMPARE(RunPut(inet, QStringLiteral("ftpes://%1:%2").arg(hostName).arg(server.port()),
                    server.user(), server.password(), local_, "public_html/channel_list.txt"),
             ResponseCodes::CurlBase + CURLE_PEER_FAILED_VERIFICATION);
    QCOMPARE(server.entries("public_html"), QStringList{});
}

void tst_SecureTransports::plainServerGetsNoPassword() {
    // A server without TLS: the upload fails, and after the greeting nothing
    // but the request for TLS went out, the log-in least of all.
    FtpTestServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QVERIFY(!upload("ftpes://" + server.hostPort(), server.user(), server.password()));
    QTest::qWait(300);
    const QStringList commands = server.commands();
    QVERIFY(commands.contains("CONNECT"));
    for (const QString& line : commands) {
        QVERIFY2(line == "CONNECT" || line == "DISCONNECT" || line.startsWith("AUTH "),
                 qPrintable(line));
    }
    QCOMPARE(server.entries("public_html"), QStringList{});
}

void tst_SecureTransports::sftpPublishes() {
    SecureTestServer server(SecureTestServer::Kind::Sftp);
    START_OR_SKIP(server);
    const SshAccount account;
    QVERIFY(account.setKnownHosts(server.knownHostsLine()));
    QVERIFY(server.writeRemote("public_html/channel_list.txt", "old\n"));
    const QString host = QStringLiteral("sftp://127.0.0.1:%1").arg(server.port());
    for (int i = 0; i < 2; ++i)
        QVERIFY(upload(host, server.user(), server.password()));
    QCOMPARE(server.remoteBytes("public_html/channel_list.txt"), bytes_);
    QCOMPARE(server.entries("public_html"), QStringList{"channel_list.txt"});
    QVERIFY(!upload(host, server.user(), "wrong"));
    QCOMPARE(server.entries("public_html"), QStringList{"channel_list.txt"});
}

void tst_SecureTransports::sftpHostKeyRefusals_data() {
    QTest::addColumn<bool>("otherKey");
    QTest::newRow("unknown host") << false;
    QTest::newRow("changed key") << true;
}

void tst_SecureTransports::sftpHostKeyRefusals() {
    QFETCH(bool, otherKey);
    SecureTestServer server(SecureTestServer::Kind::Sftp);
    START_OR_SKIP(server);
    const SshAccount account;
    const QString knownHosts = otherKey ? account.strangerLine(server.port()) : QString();
    QVERIFY(knownHosts.isEmpty() != otherKey);
    QVERIFY(account.setKnownHosts(knownHosts));
    QVERIFY(!upload(QStringLiteral("sftp://127.0.0.1:%1").arg(server.port()), server.user(),
                    server.password()));
    QCOMPARE(server.entries("public_html"), QStringList{});
}

QTEST_GUILESS_MAIN(tst_SecureTransports)
#include "tst_securetransports.moc"
