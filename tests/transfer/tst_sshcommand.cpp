#include "AskPass.h"
#include "SshCommand.h"

#include <QTest>

class tst_SshCommand : public QObject {
    Q_OBJECT
private slots:
    void arguments_data();
    void arguments();
    void passwordPrompt_data();
    void passwordPrompt();
    void promptAccount_data();
    void promptAccount();
    void authenticatedPeer_data();
    void authenticatedPeer();
};

namespace {

const QStringList Fixed{"-T",
                        "-x",
                        "-a",
                        "-s",
                        "-oLogLevel=VERBOSE",
                        "-oStrictHostKeyChecking=yes",
                        "-oControlMaster=no",
                        "-oControlPath=none",
                        "-oNumberOfPasswordPrompts=1",
                        "-oConnectTimeout=30",
                        "-oClearAllForwardings=yes",
                        "-oPermitLocalCommand=no"};
const QStringList NoPassword{"-oPasswordAuthentication=no", "-oKbdInteractiveAuthentication=no"};

} // namespace

void tst_SshCommand::arguments_data() {
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("user");
    QTest::addColumn<bool>("password");
    QTest::addColumn<bool>("passwordAlone");
    QTest::addColumn<QString>("home");         // the account's home is /home/u
    QTest::addColumn<QStringList>("files");    // what exists
    QTest::addColumn<QStringList>("expected"); // after the fixed part; empty: refused

    const QStringList none;
    QTest::newRow("host and user") << "sftp://example.com"
                                   << "u" << true << false << "/home/u" << none
                                   << QStringList{"-l", "u", "--", "example.com", "sftp"};
    QTest::newRow("typed port") << "sftp://example.com:2222"
                                << "u" << true << false << "/home/u" << none
                                << QStringList{"-p", "2222",        "-l",  "u",
                                               "--", "example.com", "sftp"};
    QTest::newRow("port 22 typed")
        << "sftp://example.com:22"
        << "u" << true << false << "/home/u" << none
        << QStringList{"-p", "22", "-l", "u", "--", "example.com", "sftp"};
    QTest::newRow("empty user: ssh's config decides")
        << "sftp://alias"
        << "" << true << false << "/home/u" << none << QStringList{"--", "alias", "sftp"};
    QTest::newRow("no password: no password attempt")
        << "sftp://example.com"
        << "u" << false << false << "/home/u" << none
        << NoPassword + QStringList{"-l", "u", "--", "example.com", "sftp"};
    QTest::newRow("IPv6") << "sftp://[::1]:2222"
                          << "u" << true << false << "/home/u" << none
                          << QStringList{"-p", "2222", "-l", "u", "--", "::1", "sftp"};
    QTest::newRow("user with an @, as some hosts name accounts")
        << "sftp://example.com"
        << "web@example.org" << true << false << "/home/u" << none
        << QStringList{"-l", "web@example.org", "--", "example.com", "sftp"};
    // A user's configuration may hand the user name to a shell ("%r" in a
    // ProxyCommand or Match exec): what a shell reads is refused.
    QTest::newRow("user that looks like an option")
        << "sftp://example.com"
        << "-oProxyCommand=x" << true << false << "/home/u" << none << QStringList{};
    QTest::newRow("user with a command substitution")
        << "sftp://example.com"
        << "u$(touch x)" << true << false << "/home/u" << none << QStringList{};
    QTest::newRow("user with backticks")
        << "sftp://example.com"
        << "u`id`" << true << false << "/home/u" << none << QStringList{};
    QTest::newRow("user with a semicolon") << "sftp://example.com"
                                           << "u;id" << true << false << "/home/u" << none
                                           << QStringList{};
    QTest::newRow("user with a space") << "sftp://example.com"
                                       << "u -x" << true << false << "/home/u" << none
                                       << QStringList{};
    QTest::newRow("password alone")
        << "sftp://example.com"
        << "u" << true << true << "/home/u" << none
        << QStringList{"-oPubkeyAuthentication=no",
                       "-oPreferredAuthentications=keyboard-interactive,password",
                       "-l",
                       "u",
                       "--",
                       "example.com",
                       "sftp"};
    QTest::newRow("another HOME with config and keys")
        << "sftp://example.com"
        << "u" << true << false << "/tmp/h"
        << QStringList{"/tmp/h/.ssh/config", "/tmp/h/.ssh/id_rsa", "/tmp/h/.ssh/id_ed25519",
                       "/tmp/h/.ssh/id_ed25519.pub"}
        << QStringList{"-F",
                       "/tmp/h/.ssh/config",
                       "-oUserKnownHostsFile=/tmp/h/.ssh/known_hosts",
                       "-oIdentityFile=/tmp/h/.ssh/id_rsa",
                       "-oIdentityFile=/tmp/h/.ssh/id_ed25519",
                       "-l",
                       "u",
                       "--",
                       "example.com",
                       "sftp"};
    QTest::newRow("another HOME without config, awkward path")
        << "sftp://example.com"
        << "u" << true << false << "/tmp/a b%" << QStringList{"/tmp/a b%/.ssh/id_ecdsa"}
        << QStringList{"-F",
                       "/etc/ssh/ssh_config",
                       "-oUserKnownHostsFile=\"/tmp/a b%%/.ssh/known_hosts\"",
                       "-oIdentityFile=\"/tmp/a b%%/.ssh/id_ecdsa\"",
                       "-l",
                       "u",
                       "--",
                       "example.com",
                       "sftp"};
    QTest::newRow("another HOME, password alone")
        << "sftp://example.com"
        << "u" << true << true << "/tmp/h" << QStringList{"/tmp/h/.ssh/id_ecdsa"}
        << QStringList{"-oPubkeyAuthentication=no",
                       "-oPreferredAuthentications=keyboard-interactive,password",
                       "-F",
                       "/etc/ssh/ssh_config",
                       "-oUserKnownHostsFile=/tmp/h/.ssh/known_hosts",
                       "-oIdentityFile=/tmp/h/.ssh/id_ecdsa",
                       "-l",
                       "u",
                       "--",
                       "example.com",
                       "sftp"};
    QTest::newRow("another HOME without keys: none from the account's home")
        << "sftp://example.com"
        << "u" << true << false << "/tmp/h" << none
        << QStringList{"-F",
                       "/etc/ssh/ssh_config",
                       "-oUserKnownHostsFile=/tmp/h/.ssh/known_hosts",
                       "-oIdentityFile=/tmp/h/.ssh/id_rsa",
                       "-l",
                       "u",
                       "--",
                       "example.com",
                       "sftp"};
    QTest::newRow("host with a user part")
        << "sftp://root@example.com"
        << "u" << true << false << "/home/u" << none << QStringList{};
    QTest::newRow("host like an option")
        << "sftp://-oProxyCommand=sh"
        << "u" << true << false << "/home/u" << none << QStringList{};
    QTest::newRow("user with a line break")
        << "sftp://example.com"
        << "u\nx" << true << false << "/home/u" << none << QStringList{};
}

void tst_SshCommand::arguments() {
    QFETCH(QString, host);
    QFETCH(QString, user);
    QFETCH(bool, password);
    QFETCH(bool, passwordAlone);
    QFETCH(QString, home);
    QFETCH(QStringList, files);
    QFETCH(QStringList, expected);
    SshCommandInput in;
    const auto endpoint = ParseRemoteHost(host);
    if (!endpoint) {
        QVERIFY(expected.isEmpty());
        return;
    }
    in.endpoint = *endpoint;
    in.userName = user;
    in.passwordTyped = password;
    in.passwordAlone = passwordAlone;
    in.home = home;
    in.accountHome = "/home/u";
    in.exists = [&](const QString& path) { return files.contains(path); };
    const auto args = SshArguments(in);
    QCOMPARE(args.has_value(), !expected.isEmpty());
    if (args)
        QCOMPARE(*args, Fixed + expected);
}

void tst_SshCommand::passwordPrompt_data() {
    QTest::addColumn<QByteArray>("prompt");
    QTest::addColumn<bool>("answered"); // for u@127.0.0.1
    QTest::newRow("password") << QByteArray("u@127.0.0.1's password: ") << true;
    QTest::newRow("keyboard-interactive") << QByteArray("(u@127.0.0.1) Password: ") << true;
    QTest::newRow("host named in another case") << QByteArray("U@127.0.0.1's Password: ") << true;
    // The inner ssh of a ProxyJump asks for its bastion's.
    QTest::newRow("another host") << QByteArray("u@bastion's password: ") << false;
    QTest::newRow("another user") << QByteArray("root@127.0.0.1's password: ") << false;
    QTest::newRow("keyboard-interactive of another host")
        << QByteArray("(u@bastion) Password: ") << false;
    QTest::newRow("host named inside another")
        << QByteArray("u@127.0.0.1.evil's password: ") << false;
    QTest::newRow("no account named") << QByteArray("Password: ") << false;
    QTest::newRow("passphrase") << QByteArray(
                                       "Enter passphrase for key '/home/u/.ssh/id_ed25519': ")
                                << false;
    QTest::newRow("passphrase of a key named like a password")
        << QByteArray("Enter passphrase for key '/home/u/.ssh/x's password:': ") << false;
    QTest::newRow("host key question")
        << QByteArray("Are you sure you want to continue connecting (yes/no/[fingerprint])? ")
        << false;
    QTest::newRow("new password") << QByteArray("(u@127.0.0.1) New password: ") << false;
    QTest::newRow("one-time code") << QByteArray("(u@127.0.0.1) Verification code: ") << false;
}

void tst_SshCommand::passwordPrompt() {
    QFETCH(QByteArray, prompt);
    QFETCH(bool, answered);
    QCOMPARE(AskPassServer::IsPasswordPrompt(prompt, "u@127.0.0.1"), answered);
}

void tst_SshCommand::promptAccount_data() {
    QTest::addColumn<QByteArray>("configuration"); // as ssh -G prints it
    QTest::addColumn<QByteArray>("account");
    QTest::newRow("host name") << QByteArray("user u\nhostname example.com\nport 22\n")
                               << QByteArray("u@example.com");
    QTest::newRow("host key alias") << QByteArray("hostname 10.0.0.5\nuser u\nhostkeyalias web\n")
                                    << QByteArray("u@web");
    QTest::newRow("nothing said") << QByteArray() << QByteArray();
}

void tst_SshCommand::promptAccount() {
    QFETCH(QByteArray, configuration);
    QFETCH(QByteArray, account);
    QCOMPARE(PromptAccount(configuration), account);
}

void tst_SshCommand::authenticatedPeer_data() {
    QTest::addColumn<QByteArrayList>("lines");
    QTest::addColumn<QString>("host"); // empty: nothing told
    QTest::addColumn<QString>("address");
    const QByteArray banner = "Warning: Permanently added '[127.0.0.1]:2222' (ED25519) to the "
                              "list of known hosts.";
    QTest::newRow("IPv4") << QByteArrayList{
        banner, "Authenticated to 127.0.0.1 ([127.0.0.1]:2222) using \"publickey\"."}
                          << "127.0.0.1" << "127.0.0.1";
    QTest::newRow("IPv6, a HostName of the configuration")
        << QByteArrayList{"Authenticated to web.example.com ([2001:db8::5]:22) using "
                          "\"password\"."}
        << "web.example.com" << "2001:db8::5";
    QTest::newRow("through a proxy: no address")
        << QByteArrayList{"Authenticated to web.example.com (via proxy) using \"password\"."}
        << "" << "";
    QTest::newRow("not said") << QByteArrayList{banner} << "" << "";
    QTest::newRow("cut short") << QByteArrayList{"Authenticated to host ([10.0.0.1"} << "" << "";
}

void tst_SshCommand::authenticatedPeer() {
    QFETCH(QByteArrayList, lines);
    QFETCH(QString, host);
    QFETCH(QString, address);
    const auto peer = AuthenticatedPeer(lines);
    QCOMPARE(peer.has_value(), !host.isEmpty());
    if (peer) {
        QCOMPARE(peer->host, host);
        QCOMPARE(peer->address, address);
    }
}

QTEST_GUILESS_MAIN(tst_SshCommand)
#include "tst_sshcommand.moc"
