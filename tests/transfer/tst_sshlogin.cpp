#include "CurlInet.h"
#include "CurlSession.h"
#include "SecureTestServer.h"
#include "ServerLauncher.h"
#include "SshLogin.h"
#include "TestSshAgent.h"
#include "TransferTestHelpers.h"
#include "UploadFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <curl/curl.h>

namespace {

// Lines of the server's log that show a key offered or a log-in accepted.
QStringList keyLines(const QString& log) {
    QStringList lines;
    for (const QString& line : log.split('\n')) {
        if (line.contains("publickey") || line.startsWith("Accepted"))
            lines << line;
    }
    return lines;
}

} // namespace

class tst_SshLogin : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void opensWithoutPassphrase_data();
    void opensWithoutPassphrase();
    void plan_data();
    void plan();
    void keyOnlyServer_data();
    void keyOnlyServer();
    void refusalNamesWhatWasOffered();
    void passwordServerWithAgentKeys();
    void passwordAfterRefusedKeys_data();
    void passwordAfterRefusedKeys();
    void unknownHostGetsNoKey();

private:
    // A fresh home for the test: ~/.ssh with known_hosts naming `server`.
    bool makeHome(const SecureTestServer& server) {
        home_ = std::make_unique<QTemporaryDir>();
        qputenv("HOME", QFile::encodeName(home_->path()));
        return QDir(home_->path()).mkpath(".ssh") &&
               WriteLocalFile(sshFile("known_hosts"), server.knownHostsLine().toUtf8() + "\n");
    }
    QString sshFile(const QString& name) const { return home_->filePath(".ssh/" + name); }
    QString host(const SecureTestServer& server) const {
        return QStringLiteral("sftp://127.0.0.1:%1").arg(server.port());
    }
    qint32 upload(const SecureTestServer& server, const QString& password) {
        CurlInet inet(TestTimeouts());
        return RunPut(inet, host(server), server.user(), password, local_,
                      "public_html/channel_list.txt");
    }

    QTemporaryDir dir_;
    std::unique_ptr<QTemporaryDir> home_;
    QString local_;
    const QByteArray bytes_ = "Channel 1\nChannel 2\n";
};

void tst_SshLogin::initTestCase() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    local_ = dir_.filePath("channel_list.txt");
    QVERIFY(WriteLocalFile(local_, bytes_));
}

void tst_SshLogin::init() {
    qunsetenv("SSH_AUTH_SOCK");
}

void tst_SshLogin::opensWithoutPassphrase_data() {
    QTest::addColumn<QString>("type");
    QTest::addColumn<QStringList>("format");
    QTest::newRow("ed25519") << "ed25519" << QStringList{};
    QTest::newRow("ecdsa") << "ecdsa" << QStringList{};
    QTest::newRow("rsa") << "rsa" << QStringList{};
    QTest::newRow("rsa PEM") << "rsa" << QStringList{"-m", "PEM"};
    QTest::newRow("ecdsa PEM") << "ecdsa" << QStringList{"-m", "PEM"};
    QTest::newRow("ecdsa PKCS#8") << "ecdsa" << QStringList{"-m", "PKCS8"};
}

void tst_SshLogin::opensWithoutPassphrase() {
    QFETCH(QString, type);
    QFETCH(QStringList, format);
    const QString key = dir_.filePath("key");
    QVERIFY(MakeSshKey(key, type, {}, format));
    QVERIFY(SshLogin::OpensWithoutPassphrase(ReadTextFile(key).toUtf8()));
    QVERIFY(!SshLogin::OpensWithoutPassphrase(ReadTextFile(key + ".pub").toUtf8()));
    QVERIFY(MakeSshKey(key, type, "a passphrase", format));
    QVERIFY(!SshLogin::OpensWithoutPassphrase(ReadTextFile(key).toUtf8()));
}

void tst_SshLogin::plan_data() {
    QTest::addColumn<int>("agentKeys"); // -1: none running
    QTest::addColumn<QStringList>("clearKeys");
    QTest::addColumn<QStringList>("protectedKeys");
    QTest::addColumn<QStringList>("steps");
    const QString agent = "the ssh-agent's keys (2)";
    const QString password = "the password";
    QTest::newRow("nothing") << -1 << QStringList{} << QStringList{} << QStringList{password};
    QTest::newRow("agent") << 2 << QStringList{} << QStringList{} << QStringList{agent, password};
    QTest::newRow("agent without keys")
        << 0 << QStringList{} << QStringList{} << QStringList{password};
    QTest::newRow("all three files, agent")
        << 2 << QStringList{"id_rsa", "id_ecdsa", "id_ed25519"} << QStringList{}
        << QStringList{agent, "~/.ssh/id_ed25519", "~/.ssh/id_ecdsa",
                       "~/.ssh/id_rsa, the password"};
    QTest::newRow("one file") << -1 << QStringList{"id_ecdsa"} << QStringList{}
                              << QStringList{"~/.ssh/id_ecdsa, the password"};
    QTest::newRow("protected key left out")
        << 2 << QStringList{"id_rsa"} << QStringList{"id_ed25519"}
        << QStringList{agent, "~/.ssh/id_rsa, the password"};
    QTest::newRow("only a protected key")
        << -1 << QStringList{} << QStringList{"id_ecdsa"} << QStringList{password};
}

void tst_SshLogin::plan() {
    QFETCH(int, agentKeys);
    QFETCH(QStringList, clearKeys);
    QFETCH(QStringList, protectedKeys);
    QFETCH(QStringList, steps);
    QTemporaryDir home;
    QVERIFY(QDir(home.path()).mkpath(".ssh"));
    const auto typeOf = [](const QString& name) { return name.mid(3); };
    for (const QString& name : clearKeys)
        QVERIFY(MakeSshKey(home.filePath(".ssh/" + name), typeOf(name)));
    for (const QString& name : protectedKeys)
        QVERIFY(MakeSshKey(home.filePath(".ssh/" + name), typeOf(name), "a passphrase"));
    TestSshAgent agent;
    // Without an agent, a socket path that leads nowhere, as one left by an
    // agent that has gone.
    QByteArray socket = QFile::encodeName(home.filePath("gone.sock"));
    if (agentKeys >= 0) {
        QVERIFY(agent.start());
        socket = QFile::encodeName(agent.socket());
        for (int i = 0; i < agentKeys; ++i) {
            const QString key = home.filePath("agent_key_%1").arg(i);
            QVERIFY(MakeSshKey(key, "ed25519"));
            QVERIFY(agent.add(key));
        }
    }
    const SshLogin login(home.path(), socket);
    QStringList labels;
    for (const SshLogin::Step& step : login.steps()) {
        labels << step.label;
        // A key file step names its files; no other does, so libcurl never
        // guesses one.
        QCOMPARE(step.privateKey.isEmpty(), !(step.authTypes & CURLSSH_AUTH_PUBLICKEY));
        if (!step.privateKey.isEmpty())
            QCOMPARE(step.publicKey, step.privateKey + ".pub");
    }
    QCOMPARE(labels, steps);
    QVERIFY(login.steps().last().authTypes & CURLSSH_AUTH_PASSWORD);
}

void tst_SshLogin::keyOnlyServer_data() {
    QTest::addColumn<QString>("type");
    QTest::addColumn<bool>("inAgent");
    QTest::addColumn<bool>("inHome");
    QTest::newRow("key in the agent") << "ed25519" << true << false;
    QTest::newRow("id_ed25519") << "ed25519" << false << true;
    QTest::newRow("id_ecdsa") << "ecdsa" << false << true;
    QTest::newRow("no key") << "ed25519" << false << false;
}

void tst_SshLogin::keyOnlyServer() {
    QFETCH(QString, type);
    QFETCH(bool, inAgent);
    QFETCH(bool, inHome);
    SecureTestServer server(SecureTestServer::Kind::Sftp);
    server.setSshMethods("publickey");
    START_OR_SKIP(server);
    QVERIFY(makeHome(server));
    // The key is made outside ~/.ssh, and put there only where the row says.
    const QString key = dir_.filePath("id_" + type);
    QVERIFY(MakeSshKey(key, type));
    QVERIFY(server.authorizeKey(key + ".pub"));
    TestSshAgent agent;
    if (inAgent) {
        QVERIFY(agent.start());
        QVERIFY(agent.add(key));
        qputenv("SSH_AUTH_SOCK", QFile::encodeName(agent.socket()));
    }
    if (inHome) {
        QVERIFY(QFile::copy(key, sshFile("id_" + type)));
        QVERIFY(QFile::copy(key + ".pub", sshFile("id_" + type + ".pub")));
    }
    const bool works = inAgent || inHome;
    // An empty password box: with a key, a normal log-in.
    QCOMPARE(upload(server, QString()), works ? 0 : ResponseCodes::CurlBase + CURLE_LOGIN_DENIED);
    QCOMPARE(server.remoteBytes("public_html/channel_list.txt"), works ? bytes_ : QByteArray());
    const QString log = server.serverLog();
    QCOMPARE(log.contains("Accepted publickey"), works);
    QVERIFY2(works || !log.contains("Accepted"), qPrintable(log));
}

void tst_SshLogin::refusalNamesWhatWasOffered() {
    SecureTestServer server(SecureTestServer::Kind::Sftp);
    server.setSshMethods("publickey");
    START_OR_SKIP(server);
    QVERIFY(makeHome(server));
    QVERIFY(MakeSshKey(sshFile("id_ed25519"), "ed25519"));
    PublishJob job;
    job.endpoint = *ParseRemoteHost(host(server));
    job.userName = server.user();
    job.password = "typed";
    job.remoteFileName = "public_html/channel_list.txt";
    job.timeouts = TestTimeouts();
    const std::atomic<bool> abort = false;
    CurlSession session(job, abort);
    LocalFile file;
    QVERIFY(file.open(local_));
    QCOMPARE(session.store(job.remoteFileName, file), CURLE_LOGIN_DENIED);
    QCOMPARE(session.loginFailure(),
             "SSH log-in refused; tried ~/.ssh/id_ed25519, the password; the server accepts "
             "publickey");
    QVERIFY(!session.loginFailure().contains("typed"));
}

void tst_SshLogin::passwordServerWithAgentKeys() {
    SecureTestServer server(SecureTestServer::Kind::Sftp);
    START_OR_SKIP(server);
    QVERIFY(makeHome(server));
    TestSshAgent agent;
    QVERIFY(agent.start());
    QVERIFY(MakeSshKey(sshFile("id_ed25519"), "ed25519"));
    QVERIFY(agent.add(sshFile("id_ed25519")));
    QVERIFY(MakeSshKey(sshFile("id_ecdsa"), "ecdsa"));
    qputenv("SSH_AUTH_SOCK", QFile::encodeName(agent.socket()));
    QCOMPARE(upload(server, server.password()), 0);
    QCOMPARE(server.remoteBytes("public_html/channel_list.txt"), bytes_);
    // Once the server has named its methods, no key file gets a connection
    // of its own: the agent's, then the password's.
    QCOMPARE(server.serverLog().count("Connection from"), 2);
    QCOMPARE(upload(server, "wrong"), ResponseCodes::CurlBase + CURLE_LOGIN_DENIED);
}

void tst_SshLogin::passwordAfterRefusedKeys_data() {
    QTest::addColumn<int>("agentKeys");
    QTest::addColumn<bool>("protectedKey");
    QTest::addColumn<int>("connections");
    // sshd ends a connection after six failed attempts (MaxAuthTries): keys
    // the server refuses must not use up the password's chances.
    QTest::newRow("agent with more keys than the server allows tries") << 8 << false << 2;
    // The last key file and the password share a connection.
    QTest::newRow("refused key file") << 0 << false << 1;
    // An authorised key that needs a passphrase is never offered.
    QTest::newRow("key file with a passphrase") << 0 << true << 1;
}

void tst_SshLogin::passwordAfterRefusedKeys() {
    QFETCH(int, agentKeys);
    QFETCH(bool, protectedKey);
    QFETCH(int, connections);
    SecureTestServer server(SecureTestServer::Kind::Sftp);
    server.setSshMethods("publickey,password");
    START_OR_SKIP(server);
    QVERIFY(makeHome(server));
    TestSshAgent agent;
    if (agentKeys > 0) {
        QVERIFY(agent.start());
        for (int i = 0; i < agentKeys; ++i) {
            const QString key = dir_.filePath("agent_key_%1").arg(i);
            QVERIFY(MakeSshKey(key, "ed25519"));
            QVERIFY(agent.add(key));
        }
        qputenv("SSH_AUTH_SOCK", QFile::encodeName(agent.socket()));
    }
    QVERIFY(MakeSshKey(sshFile("id_ed25519"), "ed25519", protectedKey ? "a passphrase" : ""));
    if (protectedKey)
        QVERIFY(server.authorizeKey(sshFile("id_ed25519.pub")));
    QCOMPARE(upload(server, server.password()), 0);
    QCOMPARE(server.remoteBytes("public_html/channel_list.txt"), bytes_);
    const QString log = server.serverLog();
    QVERIFY2(log.contains("Accepted password"), qPrintable(log));
    QCOMPARE(log.count("Connection from"), connections);
    if (protectedKey)
        QVERIFY2(!log.contains("publickey"), qPrintable(log));
}

void tst_SshLogin::unknownHostGetsNoKey() {
    SecureTestServer server(SecureTestServer::Kind::Sftp);
    server.setSshMethods("publickey");
    START_OR_SKIP(server);
    QVERIFY(makeHome(server));
    QVERIFY(WriteLocalFile(sshFile("known_hosts"), {}));
    const QString key = dir_.filePath("id_ed25519");
    QVERIFY(MakeSshKey(key, "ed25519"));
    QVERIFY(server.authorizeKey(key + ".pub"));
    TestSshAgent agent;
    QVERIFY(agent.start());
    QVERIFY(agent.add(key));
    qputenv("SSH_AUTH_SOCK", QFile::encodeName(agent.socket()));
    QCOMPARE(upload(server, QString()), ResponseCodes::CurlBase + CURLE_PEER_FAILED_VERIFICATION);
    QCOMPARE(server.entries("public_html"), QStringList{});
    QTest::qWait(200);
    const QString log = server.serverLog();
    QVERIFY2(log.contains("Connection from"), qPrintable(log));
    QVERIFY2(keyLines(log).isEmpty(), qPrintable(log));
}

QTEST_GUILESS_MAIN(tst_SshLogin)
#include "tst_sshlogin.moc"
