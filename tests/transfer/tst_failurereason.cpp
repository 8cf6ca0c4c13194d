#include "FailureReason.h"
#include "FtpFailure.h"
#include "ResponseCodes.h"
#include "SftpFailure.h"

#include <QTest>

#include <cerrno>

#include <curl/curl.h>

Q_DECLARE_METATYPE(PublishReport)

// The words for what the loopback servers cannot easily stage; the rest is
// met for real in the failure reports of uploads.
class tst_FailureReason : public QObject {
    Q_OBJECT
private slots:
    void words_data();
    void words();
    void sftpWords_data();
    void sftpWords() { words(); }
};

void tst_FailureReason::words_data() {
    QTest::addColumn<qint32>("code");
    QTest::addColumn<PublishReport>("report");
    QTest::addColumn<QString>("words");

    PublishReport r;
    QTest::newRow("success") << ResponseCodes::Ok << r << "";
    QTest::newRow("unknown code, nothing noted")
        << qint32(2999) << r << "failed with response code 2999";
    r.localErrno = -1;
    QTest::newRow("not a regular file")
        << ResponseCodes::BadOperation << r
        << "the local file \"/l/channel_list.txt\" is missing or unreadable: not a regular file";
    r = {};
    r.localErrno = EACCES;
    QTest::newRow("unreadable") << ResponseCodes::LocalFileUnreadable << r
                                << "the local file \"/l/channel_list.txt\" is missing or "
                                   "unreadable: Permission denied";
    r = {};
    r.engine = SftpFailure{SshFailure::HostKeyUnknown, "/nonexistent/.ssh/known_hosts", {}};
    QTest::newRow("no known_hosts at all")
        << ResponseCodes::SshBase + int(SshFailure::HostKeyUnknown) << r
        << "host key unknown: \"/nonexistent/.ssh/known_hosts\" does not exist";
    r = {};
    r.engine =
        FtpFailure{CURLE_OPERATION_TIMEDOUT, "Connection timed out after 30001 milliseconds"};
    QTest::newRow("connect time-out")
        << ResponseCodes::CurlBase + CURLE_OPERATION_TIMEDOUT << r
        << "could not connect to \"h\" port 22: no answer for 30 s (Connection timed out after "
           "30001 milliseconds)";
    r = {};
    r.engine = SftpFailure{SshFailure::ConnectTimedOut, {}, {}};
    QTest::newRow("ssh's log-in outlasts the connect limit")
        << ResponseCodes::SshBase + int(SshFailure::ConnectTimedOut) << r << "could not connect to \"h\" port 22: no answer for 30 s";
    r.engine = SftpFailure{SshFailure::Stalled, {}, {}};
    QTest::newRow("SFTP writes without progress")
        << ResponseCodes::SshBase + int(SshFailure::Stalled) << r << "the transfer stalled: no data moved for 60 s";
    r.engine = SftpFailure{SshFailure::NoReply, {}, {}};
    QTest::newRow("SFTP request unanswered")
        << ResponseCodes::SshBase + int(SshFailure::NoReply) << r << "no answer from the server for 60 s";
    r = {};
    r.engine = SftpFailure{SshFailure::LoginDenied, {},
                           "u@h: Permission denied (publickey,password). s3cret-pass\r"};
    QTest::newRow("ssh's words, escaped and masked")
        << ResponseCodes::SshBase + int(SshFailure::LoginDenied) << r
        << "log-in refused for user \"u\"; ssh said \"u@h: Permission denied "
           "(publickey,password). ****\\x0d\"";
    r = {};
    r.engine = SftpFailure{SshFailure::ConnectionLost, {}, "Connection closed by 127.0.0.1 port 22"};
    QTest::newRow("ssh ended mid-session")
        << ResponseCodes::SshBase + int(SshFailure::ConnectionLost) << r
        << "the connection to the server was lost; ssh said \"Connection closed by 127.0.0.1 "
           "port 22\"";
    r = {};
    r.engine = FtpFailure{CURLE_QUOTE_ERROR, {}};
    r.action = "RNFR a, RNTO b";
    r.replyCode = 553;
    r.serverReply = "553 Can't overwrite \x1b[31m s3cret-pass";
    QTest::newRow("refused rename, reply escaped and masked")
        << qint32(553) << r
        << "the server refused \"RNFR a, RNTO b\"; the server said \"553 Can't overwrite "
           "\\x1b[31m ****\"";
    r.action = "STOR public_html/.channel_list.txt.tmp";
    r.replyCode = 550;
    r.serverReply = "550 public_html: No such file or directory";
    QTest::newRow("the folder check before a store refused")
        << qint32(550) << r
        << "the remote folder \"public_html\" does not exist or cannot be entered; the server "
           "said \"550 public_html: No such file or directory\"";
    r = {};
    r.engine = FtpFailure{CURLE_PEER_FAILED_VERIFICATION,
                          "SSL: no alternative certificate subject name matches target host "
                          "name 's3cret-pass'"};
    QTest::newRow("certificate for another name, libcurl's words masked")
        << ResponseCodes::CurlBase + CURLE_PEER_FAILED_VERIFICATION << r
        << "the server's certificate was issued for another name than \"h\" (SSL: no "
           "alternative certificate subject name matches target host name '****')";
    r = {};
    QTest::newRow("an engine's code, nothing noted")
        << ResponseCodes::CurlBase + CURLE_RECV_ERROR << r << "failed with response code 1056";
    r.engine = FtpFailure{CURLE_RECV_ERROR, {}};
    QTest::newRow("FTP connection lost")
        << ResponseCodes::CurlBase + CURLE_RECV_ERROR << r
        << "the connection to the server was lost";
    r.engine = FtpFailure{CURLE_SSL_PINNEDPUBKEYNOTMATCH, {}};
    QTest::newRow("TLS downgrade: another certificate")
        << ResponseCodes::TlsDowngrade << r
        << "the server showed another certificate than the first one seen from it in this "
           "run: someone on the way may pose as it; nothing was sent in clear text";
    r = {};
    QTest::newRow("TLS downgrade, the engine noted nothing")
        << ResponseCodes::TlsDowngrade << r
        << "the server took TLS earlier in this run and has stopped offering it: its TLS "
           "broke off; nothing was sent in clear text";
}

// The SFTP engine's account, read by its own words.
void tst_FailureReason::sftpWords_data() {
    QTest::addColumn<qint32>("code");
    QTest::addColumn<PublishReport>("report");
    QTest::addColumn<QString>("words");
    const auto ssh = [](SshFailure why, const QString& knownHosts = {},
                        const QByteArray& said = {}) {
        PublishReport r;
        r.engine = SftpFailure{why, knownHosts, said};
        return r;
    };

    QTest::newRow("host key changed")
        << SshCode(SshFailure::HostKeyChanged)
        << ssh(SshFailure::HostKeyChanged, "/h/.ssh/known_hosts", "Host key verification failed.")
        << "host key changed: the server's key differs from the one recorded for it in "
           "\"/h/.ssh/known_hosts\"; ssh said \"Host key verification failed.\"";
    QTest::newRow("host key unknown, known_hosts there")
        << SshCode(SshFailure::HostKeyUnknown) << ssh(SshFailure::HostKeyUnknown, "/dev/null")
        << "host key unknown: \"/dev/null\" holds no key for \"h\" port 22";
    QTest::newRow("host not found")
        << SshCode(SshFailure::HostNotFound) << ssh(SshFailure::HostNotFound)
        << "could not connect: the host name \"h\" was not found";
    PublishReport r = ssh(SshFailure::CannotConnect);
    r.osErrno = ECONNREFUSED;
    QTest::newRow("connection refused") << SshCode(SshFailure::CannotConnect) << r
                                        << "could not connect to \"h\" port 22: Connection refused";
    r = ssh(SshFailure::Refused);
    r.action = "WRITE public_html/channel_list.txt";
    r.serverReply = "SSH_FX_PERMISSION_DENIED: Permission denied";
    QTest::newRow("store refused, the status quoted")
        << SshCode(SshFailure::Refused) << r
        << "the server refused to store the file: the remote folder \"public_html\" does not "
           "exist or cannot be written; the server said \"SSH_FX_PERMISSION_DENIED: Permission "
           "denied\"";
    r = ssh(SshFailure::NoSuchFile);
    r.action = "RENAME a b";
    r.serverReply = "SSH_FX_NO_SUCH_FILE";
    QTest::newRow("rename refused") << SshCode(SshFailure::NoSuchFile) << r
                                    << "the server refused \"RENAME a b\"; the server said "
                                       "\"SSH_FX_NO_SUCH_FILE\"";
    QTest::newRow("garbled reply")
        << SshCode(SshFailure::Garbled) << ssh(SshFailure::Garbled)
        << "the connection to the server was lost";
    QTest::newRow("ssh not run")
        << SshCode(SshFailure::CannotStart)
        << ssh(SshFailure::CannotStart, {}, "cannot run ssh: No such file or directory")
        << "the SSH session could not be started; ssh said \"cannot run ssh: No such file or "
           "directory\"";
    QTest::newRow("unsafe user name")
        << SshCode(SshFailure::UnsafeUser) << ssh(SshFailure::UnsafeUser)
        << "the user name \"u\" holds a character that a shell reads as its own (such as ; | $ ` "
           "or a space); nothing was sent";
    QTest::newRow("another host's password withheld")
        << SshCode(SshFailure::PasswordWithheld)
        << ssh(SshFailure::PasswordWithheld, {}, "jump@bastion's password: ")
        << "ssh asked for the password of another host or account than the one typed (a "
           "ProxyJump or ProxyCommand host in the SSH configuration?); the password typed goes "
           "only to \"h\", and was not given; ssh said \"jump@bastion's password: \"";
    QTest::newRow("ssh ended for a reason it did not name")
        << SshCode(SshFailure::SessionFailed)
        << ssh(SshFailure::SessionFailed, {}, "Connection reset by 127.0.0.1 port 22")
        << "the SSH session failed; ssh said \"Connection reset by 127.0.0.1 port 22\"";
    QTest::newRow("ssh's code, nothing noted")
        << SshCode(SshFailure::SessionFailed) << PublishReport()
        << "failed with response code 3014";
}

void tst_FailureReason::words() {
    QFETCH(qint32, code);
    QFETCH(PublishReport, report);
    QFETCH(QString, words);
    PublishJob job;
    job.endpoint.transport = Transport::Sftp;
    job.endpoint.host = "h";
    job.endpoint.port = 22;
    job.userName = "u";
    job.password = "s3cret-pass";
    job.localFileName = "/l/channel_list.txt";
    job.remoteFileName = "public_html/channel_list.txt";
    QCOMPARE(FailureReason(code, report, job), words);
}

QTEST_GUILESS_MAIN(tst_FailureReason)
#include "tst_failurereason.moc"
