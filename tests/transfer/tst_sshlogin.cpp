#include "AskPass.h"
#include "FailureReason.h"
#include "LocalFile.h"
#include "SecureTestServer.h"
#include "SftpPublishSession.h"
#include "SshAccount.h"
#include "SshCommand.h"
#include "SshLogIn.h"
#include "TransferTestHelpers.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <thread>

#include <unistd.h>

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

// Whether a process of ours with that id still exists, a zombie included.
bool processExists(pid_t pid) {
    return pid > 0 && (::kill(pid, 0) == 0 || errno != ESRCH);
}

int openDescriptors() {
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
}

struct Outcome {
    qint32 code = -1;
    QString reason;
};

// A key made at `path` that `server` accepts.
bool authorizedKey(const SecureTestServer& server, const QString& path,
                   const QString& type = QStringLiteral("ed25519")) {
    return MakeSshKey(path, type) && server.authorizeKey(path + ".pub");
}

// An entry of ssh's configuration that reaches `server` by `alias` with `key`.
QString hostEntry(const QString& alias, const QString& hostName, const SecureTestServer& server,
                  const QString& key) {
    return QStringLiteral("Host %1\n"
                          "  HostName %2\n"
                          "  Port %3\n"
                          "  User %4\n"
                          "  IdentityFile %5\n")
        .arg(alias, hostName, QString::number(server.port()), server.user(), key);
}

} // namespace

class tst_SshLogin : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void keyOnlyServer_data();
    void keyOnlyServer();
    void refusalNamesWhatSshSaid();
    void passwordServerWithAgentKeys();
    void passwordAfterRefusedKeys_data();
    void passwordAfterRefusedKeys();
    void unknownHostGetsNoKey();
    void failures_data();
    void failures();
    void sshSays_data();
    void sshSays();
    void configAlias();
    void proxyJump_data();
    void proxyJump();
    void askPass_data();
    void askPass();
    void passwordNotInSshProcess();
    void noSshLeftAfterAbort();

private:
    // A fresh account for the test, with known_hosts naming `server`.
    bool makeHome(const SecureTestServer& server) {
        account_ = std::make_unique<SshAccount>();
        return account_->setKnownHosts(server.knownHostsLine());
    }
    QString sshFile(const QString& name) const { return account_->file(name); }
    PublishJob job(const QString& host, const QString& user, const QString& password) {
        return TestSftpJob(host, user, password, local_, &report_);
    }
    Outcome store(const PublishJob& job) {
        report_ = {};
        const std::atomic<bool> abort = false;
        SftpPublishSession session(job, abort);
        LocalFile file;
        if (!file.open(local_))
            return {};
        FileStatus stored;
        const auto result = session.store(job.remoteFileName, file, std::nullopt, stored);
        Outcome out;
        out.code = result == PublishSession::Result::Ok ? 0 : session.failureCode(file);
        out.reason = FailureReason(out.code, report_, job);
        return out;
    }
    Outcome upload(const SecureTestServer& server, const QString& password) {
        return store(
            job(QStringLiteral("sftp://127.0.0.1:%1").arg(server.port()), server.user(), password));
    }

    QTemporaryDir dir_;
    std::unique_ptr<SshAccount> account_;
    QString local_;
    PublishReport report_;
    const QByteArray bytes_ = "Channel 1\nChannel 2\n";
};

void tst_SshLogin::initTestCase() {
    local_ = dir_.filePath("channel_list.txt");
    QVERIFY(WriteLocalFile(local_, bytes_));
}

void tst_SshLogin::keyOnlyServer_data() {
    QTest::addColumn<QString>("type"); // empty: ssh-keygen's default
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("inAgent");
    QTest::addColumn<bool>("inHome");
    QTest::newRow("key in the agent") << "ed25519"
                                      << "id_ed25519" << true << false;
    QTest::newRow("id_ed25519") << "ed25519"
                                << "id_ed25519" << false << true;
    QTest::newRow("id_ecdsa") << "ecdsa"
                              << "id_ecdsa" << false << true;
    // RSA keys sign with SHA-2, as OpenSSH 8.8 and later want them to.
    QTest::newRow("default RSA key in the agent") << ""
                                                  << "id_rsa" << true << false;
    QTest::newRow("default RSA key as id_rsa") << ""
                                               << "id_rsa" << false << true;
    QTest::newRow("no key") << "ed25519"
                            << "id_ed25519" << false << false;
}

void tst_SshLogin::keyOnlyServer() {
    QFETCH(QString, type);
    QFETCH(QString, file);
    QFETCH(bool, inAgent);
    QFETCH(bool, inHome);
    SecureTestServer server(SecureTestServer::Kind::Sftp);
    server.setSshMethods("publickey");
    START_OR_SKIP(server);
    QVERIFY(makeHome(server));
    // The key is made outside ~/.ssh, and put there only where the row says.
    const QString key = dir_.filePath(file);
    QVERIFY(authorizedKey(server, key, type));
    if (inAgent) {
        QVERIFY(account_->startAgent());
        QVERIFY(account_->addToAgent(key));
    }
    if (inHome) {
        QVERIFY(QFile::copy(key, sshFile(file)));
        QVERIFY(QFile::copy(key + ".pub", sshFile(file + ".pub")));
    }
    const bool works = inAgent || inHome;
    // An empty password box: with a key, a normal log-in.
    const Outcome out = upload(server, QString());
    QVERIFY2(out.code == (works ? 0 : ResponseCodes::SshBase + int(SshFailure::LoginDenied)),
             qPrintable(out.reason));
    QCOMPARE(server.remoteBytes("public_html/channel_list.txt"), works ? bytes_ : QByteArray());
    const QString log = server.serverLog();
    QCOMPARE(log.contains("Accepted publickey"), works);
    QVERIFY2(works || !log.contains("Accepted"), qPrintable(log));
}

void tst_SshLogin::refusalNamesWhatSshSaid() {
    SecureTestServer server(SecureTestServer::Kind::Sftp);
    server.setSshMethods("publickey");
    START_OR_SKIP(server);
    QVERIFY(makeHome(server));
    QVERIFY(MakeSshKey(sshFile("id_ed25519"), "ed25519"));
    const Outcome out = upload(server, "typed");
    QCOMPARE(out.code, ResponseCodes::SshBase + int(SshFailure::LoginDenied));
    QVERIFY2(
        out.reason.startsWith(QStringLiteral("log-in refused for user \"%1\"; ssh said "
                                             "\"%1@127.0.0.1: Permission denied (publickey).\"")
                                  .arg(server.user())),
        qPrintable(out.reason));
    QVERIFY(!out.reason.contains("typed"));
}

void tst_SshLogin::passwordServerWithAgentKeys() {
    SecureTestServer server(SecureTestServer::Kind::Sftp);
    START_OR_SKIP(server);
    QVERIFY(makeHome(server));
    QVERIFY(account_->startAgent());
    QVERIFY(MakeSshKey(sshFile("id_ed25519"), "ed25519"));
    QVERIFY(account_->addToAgent(sshFile("id_ed25519")));
    QVERIFY(MakeSshKey(sshFile("id_ecdsa"), "ecdsa"));
    const Outcome out = upload(server, server.password());
    QVERIFY2(out.code == 0, qPrintable(out.reason));
    QCOMPARE(server.remoteBytes("public_html/channel_list.txt"), bytes_);
    // The server names password alone: ssh offers no key on the way.
    QCOMPARE(server.serverLog().count("Connection from"), 1);
    QCOMPARE(upload(server, "wrong").code, ResponseCodes::SshBase + int(SshFailure::LoginDenied));
}

void tst_SshLogin::passwordAfterRefusedKeys_data() {
    QTest::addColumn<int>("agentKeys");
    QTest::addColumn<bool>("protectedKey");
    QTest::addColumn<int>("connections");
    // sshd ends a connection after six failed attempts (MaxAuthTries): the
    // password alone then gets a connection of its own.
    QTest::newRow("agent with more keys than the server allows tries") << 8 << false << 2;
    QTest::newRow("refused key file") << 0 << false << 1;
    // An authorised key that needs a passphrase: ssh asks, nothing answers.
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
    if (agentKeys > 0) {
        QVERIFY(account_->startAgent());
        for (int i = 0; i < agentKeys; ++i) {
            const QString key = dir_.filePath("agent_key_%1").arg(i);
            QVERIFY(MakeSshKey(key, "ed25519"));
            QVERIFY(account_->addToAgent(key));
        }
    }
    // The passphrase is the password: were a passphrase prompt answered
    // with it, the key would open and log in.
    QVERIFY(MakeSshKey(sshFile("id_ed25519"), "ed25519", protectedKey ? server.password() : ""));
    if (protectedKey)
        QVERIFY(server.authorizeKey(sshFile("id_ed25519.pub")));
    const Outcome out = upload(server, server.password());
    QVERIFY2(out.code == 0, qPrintable(out.reason));
    QCOMPARE(server.remoteBytes("public_html/channel_list.txt"), bytes_);
    const QString log = server.serverLog();
    QVERIFY2(log.contains("Accepted password"), qPrintable(log));
    QVERIFY2(!log.contains("Accepted publickey"), qPrintable(log));
    QCOMPARE(log.count("Connection from"), connections);
}

void tst_SshLogin::unknownHostGetsNoKey() {
    SecureTestServer server(SecureTestServer::Kind::Sftp);
    server.setSshMethods("publickey");
    START_OR_SKIP(server);
    QVERIFY(makeHome(server));
    QVERIFY(account_->setKnownHosts({}));
    const QString key = dir_.filePath("id_ed25519");
    QVERIFY(authorizedKey(server, key));
    QVERIFY(account_->startAgent());
    QVERIFY(account_->addToAgent(key));
    const Outcome out = upload(server, "typed");
    QCOMPARE(out.code, ResponseCodes::SshBase + int(SshFailure::HostKeyUnknown));
    QVERIFY2(out.reason.startsWith("host key unknown: \"" + sshFile("known_hosts") +
                                   "\" holds no key for"),
             qPrintable(out.reason));
    QVERIFY2(out.reason.contains("ssh said \"Host key verification failed.\""),
             qPrintable(out.reason));
    QCOMPARE(server.entries("public_html"), QStringList{});
    QTest::qWait(200);
    const QString log = server.serverLog();
    QVERIFY2(log.contains("Connection from"), qPrintable(log));
    QVERIFY2(keyLines(log).isEmpty(), qPrintable(log));
}

void tst_SshLogin::failures_data() {
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<SshFailure>("failure");
    QTest::addColumn<QString>("reason"); // how it starts
    QTest::newRow("host key changed") << "changed" << SshFailure::HostKeyChanged
                                      << "host key changed: the server's key "
                                         "differs from the one recorded";
    QTest::newRow("nothing listens")
        << "closed" << SshFailure::CannotConnect
        << "could not connect to \"127.0.0.1\" port %1: Connection refused; ssh said \"ssh: "
           "connect to host 127.0.0.1 port %1: Connection refused\"";
    QTest::newRow("no greeting") << "silent" << SshFailure::ConnectTimedOut
                                 << "could not connect to \"127.0.0.1\" port %1: no answer for 1 s";
    // ssh passes the server's banner on, line breaks and all: it must not
    // be taken for ssh's own words.
    QTest::newRow("banner that reads like ssh") << "banner" << SshFailure::LoginDenied
                                                << "log-in refused for user";
    // A configuration's "%r" may hand the user name to a shell.
    QTest::newRow("user name a shell would run")
        << "unsafe-user" << SshFailure::UnsafeUser
        << "the user name \"u;touch x\" holds a character that a shell reads as its own";
}

void tst_SshLogin::failures() {
    QFETCH(QString, scenario);
    QFETCH(SshFailure, failure);
    QFETCH(QString, reason);
    SecureTestServer server(SecureTestServer::Kind::Sftp);
    QTcpServer silent;
    quint16 port = 0;
    QString user = QStringLiteral("u");
    if (scenario == "changed") {
        START_OR_SKIP(server);
        QVERIFY(makeHome(server));
        const QString stranger = account_->strangerLine(server.port());
        QVERIFY(!stranger.isEmpty() && account_->setKnownHosts(stranger));
        port = server.port();
    } else if (scenario == "banner") {
        START_OR_SKIP(server);
        QFile banner(server.file("banner"));
        QVERIFY(banner.open(QIODevice::WriteOnly));
        banner.write("Welcome.\nHost key verification failed.\n"
                     "Authenticated to elsewhere.example ([192.0.2.7]:22) using \"password\".\n");
        banner.close();
        QCOMPARE(server.restart(), QString());
        QVERIFY(makeHome(server));
        port = server.port();
        user = server.user();
    } else {
        account_ = std::make_unique<SshAccount>();
        // Taken and let go: nothing listens there now.
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        port = silent.serverPort();
        if (scenario == "closed")
            silent.close();
    }
    if (scenario == "unsafe-user")
        user = QStringLiteral("u;touch x");
    PublishJob j = job(QStringLiteral("sftp://127.0.0.1:%1").arg(port), user, "typed");
    j.timeouts.connect = std::chrono::seconds(1);
    const Outcome out = store(j);
    if (scenario == "unsafe-user")
        QVERIFY(!silent.waitForNewConnection(100)); // nothing was sent
    QCOMPARE(out.code, ResponseCodes::SshBase + int(failure));
    if (reason.contains("%1"))
        reason = reason.arg(port);
    QVERIFY2(out.reason.startsWith(reason), qPrintable(out.reason));
    QVERIFY(!out.reason.contains("typed"));
}

// What ssh's standard error says, read without an ssh: OpenSSH 9.2's own
// wording (sshconnect.c, sshconnect2.c, ssh.c, kex.c, packet.c), the lines
// as ssh writes them at LogLevel VERBOSE, one string per run.
void tst_SshLogin::sshSays_data() {
    QTest::addColumn<QByteArray>("said");
    QTest::addColumn<SshFailure>("failure");
    QTest::addColumn<QByteArray>("line"); // the line the verdict quotes
    QTest::addColumn<int>("osErrno");
    QTest::addColumn<bool>("tooManyFailures");

    const QByteArray notFound =
        "ssh: Could not resolve hostname nosuchhost.invalid: Name or service not known";
    QTest::newRow("host not found") << notFound << SshFailure::HostNotFound << notFound << 0 << false;
    QTest::newRow("connection refused")
        << QByteArray("ssh: connect to host 127.0.0.1 port 1: Connection refused")
        << SshFailure::CannotConnect
        << QByteArray("ssh: connect to host 127.0.0.1 port 1: Connection refused") << ECONNREFUSED
        << false;
    QTest::newRow("no route")
        << QByteArray("ssh: connect to host 192.0.2.1 port 22: No route to host")
        << SshFailure::CannotConnect
        << QByteArray("ssh: connect to host 192.0.2.1 port 22: No route to host") << EHOSTUNREACH
        << false;
    QTest::newRow("network unreachable")
        << QByteArray("ssh: connect to host 2001:db8::1 port 22: Network is unreachable")
        << SshFailure::CannotConnect
        << QByteArray("ssh: connect to host 2001:db8::1 port 22: Network is unreachable")
        << ENETUNREACH << false;
    QTest::newRow("connect timed out")
        << QByteArray("ssh: connect to host 192.0.2.1 port 22: Connection timed out")
        << SshFailure::ConnectTimedOut
        << QByteArray("ssh: connect to host 192.0.2.1 port 22: Connection timed out") << 0
        << false;
    QTest::newRow("no greeting: the first line tells")
        << QByteArray("Connection timed out during banner exchange\n"
                      "Connection to 127.0.0.1 port 59153 timed out")
        << SshFailure::ConnectTimedOut << QByteArray("Connection timed out during banner exchange")
        << 0 << false;
    QTest::newRow("reset before the greeting: the last line")
        << QByteArray("kex_exchange_identification: read: Connection reset by peer\n"
                      "Connection reset by 127.0.0.1 port 45885")
        << SshFailure::SessionFailed << QByteArray("Connection reset by 127.0.0.1 port 45885")
        << 0 << false;
    QTest::newRow("closed before the greeting, through a ProxyCommand")
        << QByteArray("kex_exchange_identification: Connection closed by remote host\n"
                      "Connection closed by UNKNOWN port 65535")
        << SshFailure::SessionFailed << QByteArray("Connection closed by UNKNOWN port 65535") << 0
        << false;
    QTest::newRow("log-in refused")
        << QByteArray("harlune@127.0.0.1: Permission denied (publickey,password).")
        << SshFailure::LoginDenied
        << QByteArray("harlune@127.0.0.1: Permission denied (publickey,password).") << 0 << false;
    QTest::newRow("too many keys offered")
        << QByteArray("Received disconnect from 127.0.0.1 port 2222:2: Too many authentication "
                      "failures\n"
                      "Disconnected from 127.0.0.1 port 2222")
        << SshFailure::LoginDenied << QByteArray("Disconnected from 127.0.0.1 port 2222") << 0
        << true;
    QTest::newRow("host key unknown")
        << QByteArray("No ED25519 host key is known for [127.0.0.1]:2222 and you have requested "
                      "strict checking.\n"
                      "Host key verification failed.")
        << SshFailure::HostKeyUnknown << QByteArray("Host key verification failed.") << 0 << false;
    QTest::newRow("host key changed")
        << QByteArray("@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@\n"
                      "@    WARNING: REMOTE HOST IDENTIFICATION HAS CHANGED!     @\n"
                      "@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@\n"
                      "IT IS POSSIBLE THAT SOMEONE IS DOING SOMETHING NASTY!\n"
                      "Someone could be eavesdropping on you right now (man-in-the-middle "
                      "attack)!\n"
                      "It is also possible that a host key has just been changed.\n"
                      "The fingerprint for the ED25519 key sent by the remote host is\n"
                      "SHA256:2b4KvS0ZbYjF0t5pJ3v6xM1mWq0pQn8Zr3GZr1cXw7E.\n"
                      "Please contact your system administrator.\n"
                      "Add correct host key in /home/u/.ssh/known_hosts to get rid of this "
                      "message.\n"
                      "Offending ED25519 key in /home/u/.ssh/known_hosts:1\n"
                      "Host key for [127.0.0.1]:2222 has changed and you have requested strict "
                      "checking.\n"
                      "Host key verification failed.")
        << SshFailure::HostKeyChanged << QByteArray("Host key verification failed.") << 0
        << false;
    QTest::newRow("ended mid-session")
        << QByteArray("Authenticated to 127.0.0.1 ([127.0.0.1]:2222) using \"publickey\".\n"
                      "Connection closed by 127.0.0.1 port 2222")
        << SshFailure::SessionFailed << QByteArray("Connection closed by 127.0.0.1 port 2222")
        << 0 << false;
    QTest::newRow("its own account alone: nothing to quote")
        << QByteArray("debug1: Connecting to 127.0.0.1 [127.0.0.1] port 2222.\n"
                      "Authenticated to 127.0.0.1 ([127.0.0.1]:2222) using \"publickey\".\n"
                      "Transferred: sent 2560, received 2528 bytes, in 0.1 seconds\n"
                      "Bytes per second: sent 25600.0, received 25280.0")
        << SshFailure::SessionFailed << QByteArray() << 0 << false;
}

void tst_SshLogin::sshSays() {
    QFETCH(QByteArray, said);
    QFETCH(SshFailure, failure);
    QFETCH(QByteArray, line);
    QFETCH(int, osErrno);
    QFETCH(bool, tooManyFailures);
    const SshVerdict verdict = ReadSshErrors(said.split('\n'));
    QCOMPARE(verdict.failure, failure);
    QCOMPARE(verdict.line, line);
    QCOMPARE(verdict.osErrno, osErrno);
    QCOMPARE(verdict.tooManyFailures, tooManyFailures);
}

void tst_SshLogin::configAlias() {
    SecureTestServer server(SecureTestServer::Kind::Sftp);
    server.setSshMethods("publickey");
    START_OR_SKIP(server);
    QVERIFY(makeHome(server));
    // A key under a name ssh would not try by itself.
    const QString key = sshFile("uploads_key");
    QVERIFY(authorizedKey(server, key));
    QVERIFY(account_->setConfig(hostEntry("channels", "127.0.0.1", server, key)));
    // No port and no user typed: the alias supplies them.
    const Outcome out = store(job("sftp://channels", QString(), QString()));
    QVERIFY2(out.code == 0, qPrintable(out.reason));
    QCOMPARE(server.remoteBytes("public_html/channel_list.txt"), bytes_);
    QVERIFY(server.serverLog().contains("Accepted publickey"));
}

void tst_SshLogin::proxyJump_data() {
    QTest::addColumn<QString>("bastionMethods");
    // The inner ssh asks for the bastion's password: the same account's,
    // here, as a bastion of the same host would be. It gets nothing.
    QTest::newRow("bastion wants a password") << "password";
    QTest::newRow("bastion takes a key") << "publickey";
}

void tst_SshLogin::proxyJump() {
    QFETCH(QString, bastionMethods);
    SecureTestServer bastion(SecureTestServer::Kind::Sftp);
    bastion.setSshMethods(bastionMethods);
    START_OR_SKIP(bastion);
    SecureTestServer server(SecureTestServer::Kind::Sftp);
    START_OR_SKIP(server);
    QVERIFY(makeHome(server));
    QVERIFY(account_->addKnownHost(bastion.knownHostsLine(0, QStringLiteral("localhost"))));
    const QString key = sshFile("bastion_key");
    QVERIFY(authorizedKey(bastion, key));
    // The inner ssh reads the configuration alone, none of the program's
    // options: the bastion's files are named there.
    QVERIFY(account_->setConfig(hostEntry("bastion", "localhost", bastion, key) +
                                "  IdentitiesOnly yes\n"
                                "  UserKnownHostsFile " + sshFile("known_hosts") + "\n"
                                "Host 127.0.0.1\n"
                                "  ProxyJump bastion\n"));
    const Outcome out = upload(server, server.password());
    QVERIFY(!bastion.serverLog().contains("Accepted password"));
    if (bastionMethods == "publickey") {
        QVERIFY2(out.code == 0, qPrintable(out.reason));
        QCOMPARE(server.remoteBytes("public_html/channel_list.txt"), bytes_);
        QVERIFY(server.serverLog().contains("Accepted password"));
        return;
    }
    QCOMPARE(out.code, ResponseCodes::SshBase + int(SshFailure::PasswordWithheld));
    QVERIFY2(out.reason.startsWith("ssh asked for the password of another host") &&
                 out.reason.contains("@localhost's password:"),
             qPrintable(out.reason));
    QVERIFY(!server.serverLog().contains("Accepted password"));
}

void tst_SshLogin::askPass_data() {
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("prompt");
    QTest::addColumn<bool>("rightToken");
    QTest::addColumn<bool>("ownSsh"); // started by the ssh the server answers
    QTest::addColumn<QByteArray>("answer"); // empty: exits 1 with no output
    QTest::addColumn<bool>("withheld");     // told of as another's password prompt
    QTest::newRow("password prompt") << "s3 cr\"et"
                                     << "u@h's password: " << true << true
                                     << QByteArray("s3 cr\"et\n") << false;
    QTest::newRow("keyboard-interactive")
        << "pw"
        << "(u@h) Password: " << true << true << QByteArray("pw\n") << false;
    QTest::newRow("passphrase prompt")
        << "pw"
        << "Enter passphrase for key '/h/.ssh/id_ed25519': " << true << true << QByteArray()
        << false;
    QTest::newRow("wrong token") << "pw"
                                 << "u@h's password: " << false << true << QByteArray() << false;
    QTest::newRow("empty password box")
        << ""
        << "u@h's password: " << true << true << QByteArray() << false;
    QTest::newRow("another host's prompt")
        << "pw"
        << "u@bastion's password: " << true << true << QByteArray() << true;
    QTest::newRow("an askpass another program started")
        << "pw"
        << "u@h's password: " << true << false << QByteArray() << true;
}

void tst_SshLogin::askPass() {
    QFETCH(QString, password);
    QFETCH(QString, prompt);
    QFETCH(bool, rightToken);
    QFETCH(bool, ownSsh);
    QFETCH(QByteArray, answer);
    QFETCH(bool, withheld);
    AskPassServer server(password, "u@h");
    QVERIFY(server.listening());
    // The askpass runs as this process's child, as it runs as ssh's.
    server.answerFor(ownSsh ? ::getpid() : ::getppid());
    QString value = server.variableValue();
    if (!rightToken)
        value.replace(0, 4, value.startsWith("0000") ? "1111" : "0000");
    const auto ask = [&] {
        QProcess askPass;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QLatin1String(AskPassVariable), value);
        askPass.setProcessEnvironment(env);
        askPass.start(AskPassProgram(), {prompt});
        askPass.waitForFinished();
        return std::pair(askPass.readAllStandardOutput(), askPass.exitCode());
    };
    const auto [out, code] = ask();
    QCOMPARE(out, answer);
    QCOMPARE(code, answer.isEmpty() ? 1 : 0);
    QCOMPARE(server.answered(), answer.isEmpty() ? 0 : 1);
    QCOMPARE(server.withheld(), withheld ? prompt.trimmed().toUtf8() : QByteArray());
    // Once per log-in: the token is spent.
    QCOMPARE(ask(), std::pair(QByteArray(), 1));
}

void tst_SshLogin::passwordNotInSshProcess() {
    SecureTestServer server(SecureTestServer::Kind::Sftp);
    START_OR_SKIP(server);
    QVERIFY(makeHome(server));
    const PublishJob j = job(QStringLiteral("sftp://127.0.0.1:%1").arg(server.port()),
                             server.user(), server.password());
    const std::atomic<bool> abort = false;
    SftpPublishSession session(j, abort);
    FileStatus status;
    QCOMPARE(session.stat(j.remoteFileName, status), PublishSession::Result::Ok);
    QVERIFY(!status.exists);
    // Logged in with the password, and ssh still runs.
    QVERIFY(session.alive());
    const QString proc = QStringLiteral("/proc/%1/").arg(session.sshPid());
    QFile environ(proc + "environ"), cmdline(proc + "cmdline");
    QVERIFY(environ.open(QIODevice::ReadOnly) && cmdline.open(QIODevice::ReadOnly));
    const QByteArray env = environ.readAll(), args = cmdline.readAll();
    QVERIFY(env.contains(QByteArray(AskPassVariable) + '='));
    QVERIFY(env.contains("SSH_ASKPASS_REQUIRE=force"));
    QVERIFY(args.contains("sftp"));
    QVERIFY(!env.contains(server.password().toUtf8()));
    QVERIFY(!args.contains(server.password().toUtf8()));
}

void tst_SshLogin::noSshLeftAfterAbort() {
    // A server that takes the connection and never says a word: ssh waits
    // for its greeting until the upload is ended.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    account_ = std::make_unique<SshAccount>();
    const int descriptors = openDescriptors();
    PublishJob j = job(QStringLiteral("sftp://127.0.0.1:%1").arg(silent.serverPort()), "u", "pw");
    std::atomic<bool> abort = false;
    pid_t pid = -1;
    {
        SftpPublishSession session(j, abort);
        std::thread ender([&] {
            for (int i = 0; i < 2000 && session.sshPid() <= 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            pid = session.sshPid();
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            abort = true;
        });
        FileStatus status;
        const auto result = session.stat(j.remoteFileName, status);
        ender.join();
        QCOMPARE(result, PublishSession::Result::Failed);
        LocalFile file;
        QCOMPARE(session.failureCode(file), ResponseCodes::Aborted);
        QVERIFY(pid > 0);
        // Gone and reaped on abort, before the session itself goes.
        QVERIFY(!processExists(pid));
    }
    QVERIFY(!processExists(pid));
    QCOMPARE(openDescriptors(), descriptors);
}

QTEST_GUILESS_MAIN(tst_SshLogin)
#include "tst_sshlogin.moc"
