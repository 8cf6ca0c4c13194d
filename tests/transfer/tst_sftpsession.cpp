#include "AskPass.h"
#include "FailureReason.h"
#include "LocalFile.h"
#include "SecureTestServer.h"
#include "SftpPublishSession.h"
#include "SshAccount.h"
#include "TransferTestHelpers.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>

#include <pwd.h>
#include <sys/stat.h>

using Result = PublishSession::Result;

// The steps of a publish over SFTP against OpenSSH's sftp-server, also as
// hosts restrict it (internal-sftp -P, -u).
class tst_SftpSession : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void statAndStore();
    void storeMode_data();
    void storeMode();
    void rename_data();
    void rename();
    void storeRefused_data();
    void storeRefused();
    void largeFile();
    void serverGoes();

private:
    // sshd, its internal-sftp run with `flags`, known to ssh; job_ publishes
    // there.
    bool start(const QStringList& flags = {}) {
        server_.setSftpFlags(flags);
        if (!server_.start() || !account_.setKnownHosts(server_.knownHostsLine()))
            return false;
        job_ = TestSftpJob(QStringLiteral("sftp://127.0.0.1:%1").arg(server_.port()),
                           server_.user(), server_.password(), local_, &report_);
        return true;
    }
    QString uid() const {
        const passwd* pw = ::getpwnam(server_.user().toUtf8().constData());
        return pw ? QString::number(pw->pw_uid) : QString();
    }

    QTemporaryDir dir_;
    SshAccount account_;
    SecureTestServer server_{SecureTestServer::Kind::Sftp};
    PublishJob job_;
    const std::atomic<bool> abort_ = false;
    QString local_;
    LocalFile file_;
    PublishReport report_;
    const QByteArray bytes_ = "Channel 1\nChannel 2\n";
};

#define START_SFTP_OR_SKIP(...) STARTED_OR_SKIP(start(__VA_ARGS__), server_)

void tst_SftpSession::initTestCase() {
    local_ = dir_.filePath("channel_list.txt");
    QVERIFY(WriteLocalFile(local_, bytes_));
    QVERIFY(file_.open(local_));
}

void tst_SftpSession::cleanup() {
    server_.stop();
}

void tst_SftpSession::statAndStore() {
    START_SFTP_OR_SKIP();
    SftpPublishSession session(job_, abort_);
    FileStatus status;
    QCOMPARE(session.stat(job_.remoteFileName, status), Result::Ok);
    QVERIFY(!status.exists);
    FileStatus stored;
    QCOMPARE(session.store(job_.remoteFileName, file_, std::nullopt, stored), Result::Ok);
    QCOMPARE(server_.remoteBytes(job_.remoteFileName), bytes_);
    QCOMPARE(stored.size, qint64(bytes_.size()));
    QCOMPARE(stored.owner, uid());
    QCOMPARE(session.stat(job_.remoteFileName, status), Result::Ok);
    QVERIFY(status.exists);
    QCOMPARE(status.size, stored.size);
    QCOMPARE(status.mode, stored.mode);
    QCOMPARE(status.owner, stored.owner);
    QCOMPARE(status.group, stored.group);
    // A file of another size is truncated, not overwritten in part.
    QVERIFY(server_.writeRemote(job_.remoteFileName, QByteArray(100, 'x')));
    QCOMPARE(session.store(job_.remoteFileName, file_, std::nullopt, stored), Result::Ok);
    QCOMPARE(server_.remoteBytes(job_.remoteFileName), bytes_);
    QCOMPARE(session.remove(job_.remoteFileName), PublishSession::Removal::Removed);
    QCOMPARE(session.remove(job_.remoteFileName), PublishSession::Removal::NotThere);
    QCOMPARE(server_.entries("public_html"), QStringList{});
    // Held, it tells where ssh logged in to, so that the next publish can
    // check the host still leads there.
    const std::unique_ptr<Connection> held = session.release();
    QVERIFY(held);
    QCOMPARE(held->peerAddress(), QStringLiteral("127.0.0.1"));
    QCOMPARE(held->peerHost(QStringLiteral("typed")), QStringLiteral("127.0.0.1"));
}

void tst_SftpSession::storeMode_data() {
    QTest::addColumn<QStringList>("flags");
    QTest::addColumn<int>("wanted"); // -1: none asked for
    QTest::addColumn<int>("got");
    QTest::addColumn<Result>("setMode"); // setMode(0604) afterwards
    QTest::newRow("the server's umask") << QStringList{} << -1 << 0644 << Result::Ok;
    QTest::newRow("mode asked for") << QStringList{} << 0640 << 0640 << Result::Ok;
    QTest::newRow("umask 077, mode asked for")
        << QStringList{"-u", "077"} << 0644 << 0644 << Result::Ok;
    QTest::newRow("umask 077") << QStringList{"-u", "077"} << -1 << 0600 << Result::Ok;
    // A host that refuses to set modes still takes the file.
    QTest::newRow("setstat refused")
        << QStringList{"-P", "setstat,fsetstat"} << 0640 << 0644 << Result::Refused;
}

void tst_SftpSession::storeMode() {
    QFETCH(QStringList, flags);
    QFETCH(int, wanted);
    QFETCH(int, got);
    QFETCH(Result, setMode);
    START_SFTP_OR_SKIP(flags);
    SftpPublishSession session(job_, abort_);
    FileStatus stored;
    const auto mode = wanted < 0 ? std::nullopt : std::optional<quint32>(wanted);
    QCOMPARE(session.store(job_.remoteFileName, file_, mode, stored), Result::Ok);
    QCOMPARE(stored.mode, quint32(got));
    struct stat onDisk {};
    QCOMPARE(::stat(QFile::encodeName(server_.root() + "/" + job_.remoteFileName).constData(), &onDisk),
             0);
    QCOMPARE(onDisk.st_mode & 07777, quint32(got));
    QCOMPARE(session.setMode(job_.remoteFileName, 0604), setMode);
    FileStatus status;
    QCOMPARE(session.stat(job_.remoteFileName, status), Result::Ok);
    QCOMPARE(status.mode, setMode == Result::Ok ? 0604u : quint32(got));
}

void tst_SftpSession::rename_data() {
    QTest::addColumn<QStringList>("flags");
    QTest::addColumn<bool>("targetExists");
    QTest::addColumn<Result>("renamed");
    QTest::newRow("posix-rename onto the file") << QStringList{} << true << Result::Ok;
    QTest::newRow("posix-rename onto a free name") << QStringList{} << false << Result::Ok;
    // With posix-rename refused (sftp-server -P names it without
    // "@openssh.com") the server does not announce it. sftp-server renames
    // by link(): onto an existing file it fails, and the file goes first.
    QTest::newRow("plain rename onto the file")
        << QStringList{"-P", "posix-rename"} << true << Result::TargetExists;
    QTest::newRow("plain rename onto a free name")
        << QStringList{"-P", "posix-rename"} << false << Result::Ok;
    QTest::newRow("renames refused")
        << QStringList{"-P", "posix-rename,rename"} << true << Result::Refused;
}

void tst_SftpSession::rename() {
    QFETCH(QStringList, flags);
    QFETCH(bool, targetExists);
    QFETCH(Result, renamed);
    START_SFTP_OR_SKIP(flags);
    const QString part = "public_html/.channel_list.txt.1.part";
    if (targetExists)
        QVERIFY(server_.writeRemote(job_.remoteFileName, "old\n"));
    SftpPublishSession session(job_, abort_);
    FileStatus stored;
    QCOMPARE(session.store(part, file_, std::nullopt, stored), Result::Ok);
    QCOMPARE(session.rename(part, job_.remoteFileName), renamed);
    if (renamed == Result::TargetExists) {
        bool listRemoved = false;
        QCOMPARE(session.removeThenRename(part, job_.remoteFileName, listRemoved), Result::Ok);
        QVERIFY(listRemoved);
    }
    QCOMPARE(server_.remoteBytes(job_.remoteFileName),
             renamed == Result::Refused ? QByteArray("old\n") : bytes_);
    QCOMPARE(server_.entries("public_html").contains(".channel_list.txt.1.part"),
             renamed == Result::Refused);
    if (renamed == Result::Refused) {
        LocalFile file;
        const qint32 code = session.failureCode(file);
        QCOMPARE(code, ResponseCodes::SshBase + int(SshFailure::Refused));
        QVERIFY2(FailureReason(code, report_, job_).contains("SSH_FX_PERMISSION_DENIED"),
                 qPrintable(FailureReason(code, report_, job_)));
    }
}

void tst_SftpSession::storeRefused_data() {
    QTest::addColumn<QString>("remote");
    QTest::addColumn<Result>("result");
    QTest::addColumn<SshFailure>("failure");
    QTest::addColumn<QString>("reason");
    QTest::newRow("folder missing")
        << "nosuch/channel_list.txt" << Result::Failed << SshFailure::NoSuchFile
        << "the server refused to store the file: the remote folder \"nosuch\" does not exist "
           "or cannot be written; the server said \"SSH_FX_NO_SUCH_FILE: No such file\"";
    // Another name may still work where the server refuses this one.
    QTest::newRow("folder not writable")
        << "locked/channel_list.txt" << Result::NameRefused << SshFailure::Refused
        << "the server refused to store the file: the remote folder \"locked\" does not exist "
           "or cannot be written; the server said \"SSH_FX_PERMISSION_DENIED: Permission "
           "denied\"";
}

void tst_SftpSession::storeRefused() {
    QFETCH(QString, remote);
    QFETCH(Result, result);
    QFETCH(SshFailure, failure);
    QFETCH(QString, reason);
    START_SFTP_OR_SKIP();
    // Made by root: the user can look in, not write.
    QVERIFY(QDir(server_.root()).mkdir("locked"));
    PublishJob j = job_;
    j.remoteFileName = remote;
    SftpPublishSession session(j, abort_);
    FileStatus stored;
    QCOMPARE(session.store(remote, file_, std::nullopt, stored), result);
    QVERIFY(!session.mayHaveStored());
    LocalFile file;
    const qint32 code = session.failureCode(file);
    QCOMPARE(code, ResponseCodes::SshBase + int(failure));
    QCOMPARE(FailureReason(code, report_, j), reason);
    // The session goes on after a refusal.
    FileStatus status;
    QCOMPARE(session.stat("public_html", status), Result::Ok);
    QVERIFY(status.exists);
}

void tst_SftpSession::largeFile() {
    START_SFTP_OR_SKIP();
    // More than 64 writes of 32 KiB, and a last one cut short: the writes
    // in flight must land each at its own offset.
    QByteArray bytes;
    for (int i = 0; bytes.size() < 5 * 1024 * 1024 + 1234; ++i)
        bytes += QByteArray::number(i) + '\n';
    const QString path = dir_.filePath("large.txt");
    QVERIFY(WriteLocalFile(path, bytes));
    LocalFile file;
    QVERIFY(file.open(path));
    SftpPublishSession session(job_, abort_);
    FileStatus stored;
    QCOMPARE(session.store(job_.remoteFileName, file, std::nullopt, stored), Result::Ok);
    QCOMPARE(stored.size, qint64(bytes.size()));
    QVERIFY(server_.remoteBytes(job_.remoteFileName) == bytes);
}

void tst_SftpSession::serverGoes() {
    START_SFTP_OR_SKIP();
    SftpPublishSession session(job_, abort_);
    FileStatus status;
    QCOMPARE(session.stat(job_.remoteFileName, status), Result::Ok);
    QVERIFY(session.alive());
    const pid_t ssh = session.sshPid();
    server_.stop();
    QCOMPARE(session.stat(job_.remoteFileName, status), Result::Failed);
    QVERIFY(!session.alive());
    LocalFile file;
    const qint32 code = session.failureCode(file);
    QCOMPARE(code, ResponseCodes::SshBase + int(SshFailure::ConnectionLost));
    QVERIFY2(FailureReason(code, report_, job_).startsWith("the connection to the server was lost"),
             qPrintable(FailureReason(code, report_, job_)));
    // ssh has been reaped: no zombie of it stays.
    QVERIFY(::kill(ssh, 0) != 0 && errno == ESRCH);
}

QTEST_GUILESS_MAIN(tst_SftpSession)
#include "tst_sftpsession.moc"
