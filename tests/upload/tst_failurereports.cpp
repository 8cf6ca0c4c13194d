#include "TransferInet.h"
#include "FtpTestServer.h"
#include "HeldSessions.h"
#include "LogCapture.h"
#include "SecureTestServer.h"
#include "SshAccount.h"
#include "TestFiles.h"
#include "TestProgram.h"
#include "TransferTestHelpers.h"
#include "UploadControl.h"
#include "UploadFile.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <pwd.h>

#include <memory>

namespace {

// Every character a password box lets through that could trip up quoting,
// escaping, encoding or masking.
const QString Awkward = QStringLiteral("p a\"s's\\w%41*?\u20ac\u00fc\U0001F600:@/#&=+!;<>|~^$`");

struct FixedSettings final : UploadSettings {
    QString host, user, password, local, location;
    QString HostName() const override { return host; }
    QString UserName() const override { return user; }
    QString Password() const override { return password; }
    QString LocalFileName() const override { return local; }
    QString RemoteLocation() const override { return location; }
    QString IntervalText() const override { return QStringLiteral("0"); }
    int AutoUploadGate() const override { return 1; }
};

struct ShownResults final : ResultReporter {
    QStringList shown;
    void ShowResult(const QString& text) override { shown << text; }
};

} // namespace

// Each kind of failure, met for real on loopback, gives one warning of
// harlune.upload that names it, for a manual upload (whose box still reads
// "Failed") and an automatic one (which shows nothing); and with the protocol
// trace on, the password appears nowhere in anything logged.
class tst_FailureReports : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void oneLineNamesTheFailure_data();
    void oneLineNamesTheFailure();

private:
    // Starts what the case needs and fills in the settings; false with the
    // test already failed or skipped.
    bool setUp(const QString& scenario, FixedSettings& settings);
    bool startFtp(FixedSettings& settings, const QString& mode = QStringLiteral("normal"),
                  qint64 throttle = 0, qint64 dropAfter = 0);
    bool startTls(FixedSettings& settings, const QString& certName, bool trusted);
    bool startSftp(FixedSettings& settings, const QString& knownHosts);
    // Runs one upload through RunUpload, manual or automatic.
    QStringList run(const FixedSettings& settings, bool manual);

    QTemporaryDir dir_;
    QString local_;
    SshAccount account_;
    std::unique_ptr<FtpTestServer> ftp_;
    std::unique_ptr<SecureTestServer> secure_;
    std::unique_ptr<QTimer> changer_;
    uid_t uploader_ = 0;
};

void tst_FailureReports::initTestCase() {
    SetUpTestProgram();
    QVERIFY(dir_.isValid());
    // Another user must reach the local file for the unreadable case.
    QVERIFY(QFile::setPermissions(dir_.path(), QFile::ReadOwner | QFile::WriteOwner |
                                                   QFile::ExeOwner | QFile::ExeGroup |
                                                   QFile::ExeOther));
    local_ = dir_.filePath(QStringLiteral("channel_list.txt"));
}

void tst_FailureReports::init() {
    QVERIFY(WriteLocalFile(local_, ChannelList(200)));
    QVERIFY(QFile::setPermissions(local_, QFile::ReadOwner | QFile::WriteOwner));
    qunsetenv("SSL_CERT_FILE");
    uploader_ = geteuid();
}

void tst_FailureReports::cleanup() {
    changer_.reset();
    ftp_.reset();
    secure_.reset();
    QLoggingCategory::setFilterRules({});
}

bool tst_FailureReports::startFtp(FixedSettings& settings, const QString& mode, qint64 throttle,
                                  qint64 dropAfter) {
    ftp_ = std::make_unique<FtpTestServer>();
    if (!ftp_->start(
            {.mode = mode, .password = Awkward, .dropAfter = dropAfter, .throttle = throttle})) {
        QTest::qFail(qPrintable(ftp_->errorString()), __FILE__, __LINE__);
        return false;
    }
    settings.host = ftp_->hostPort();
    settings.user = ftp_->user();
    settings.password = Awkward;
    return true;
}

bool tst_FailureReports::startTls(FixedSettings& settings, const QString& certName, bool trusted) {
    secure_ = std::make_unique<SecureTestServer>(SecureTestServer::Kind::ExplicitTls);
    secure_->setPassword(Awkward);
    if (!secure_->start(certName)) {
        QTest::qFail(qPrintable(secure_->errorString()), __FILE__, __LINE__);
        return false;
    }
    if (trusted)
        qputenv("SSL_CERT_FILE", QFile::encodeName(secure_->caFile()));
    settings.host = QStringLiteral("ftpes://localhost:%1").arg(secure_->port());
    settings.user = secure_->user();
    settings.password = Awkward;
    return true;
}

bool tst_FailureReports::startSftp(FixedSettings& settings, const QString& knownHosts) {
    secure_ = std::make_unique<SecureTestServer>(SecureTestServer::Kind::Sftp);
    secure_->setPassword(Awkward);
    if (!secure_->start()) {
        if (!secure_->skipReason().isEmpty())
            SkipForServer(secure_->skipReason(), __FILE__, __LINE__);
        else
            QTest::qFail(qPrintable(secure_->errorString()), __FILE__, __LINE__);
        return false;
    }
    QString line;
    if (knownHosts == QLatin1String("server"))
        line = secure_->knownHostsLine();
    else if (knownHosts == QLatin1String("other") &&
             (line = account_.strangerLine(secure_->port())).isEmpty()) {
        QTest::qFail("ssh-keygen made no key", __FILE__, __LINE__);
        return false;
    }
    if (!account_.setKnownHosts(line)) {
        QTest::qFail("cannot write known_hosts", __FILE__, __LINE__);
        return false;
    }
    settings.host = QStringLiteral("sftp://127.0.0.1:%1").arg(secure_->port());
    settings.user = secure_->user();
    settings.password = Awkward;
    return true;
}

bool tst_FailureReports::setUp(const QString& scenario, FixedSettings& settings) {
    settings.local = local_;
    settings.location = QStringLiteral("public_html/");
    settings.password = Awkward;
    if (scenario == "ftp published")
        return startFtp(settings);
    if (scenario == "ftpes published")
        return startTls(settings, QStringLiteral("localhost"), true);
    if (scenario == "sftp published")
        return startSftp(settings, QStringLiteral("server"));
    if (scenario == "log-in refused") {
        if (!startFtp(settings))
            return false;
        // The awkward password is the one typed, and it is wrong.
        settings.password = Awkward + QStringLiteral("x");
        return true;
    }
    if (scenario == "sftp log-in refused") {
        if (!startSftp(settings, QStringLiteral("server")))
            return false;
        settings.password = Awkward + QStringLiteral("x");
        return true;
    }
    if (scenario == "remote folder missing") {
        settings.location = QStringLiteral("nosuch/");
        return startFtp(settings);
    }
    if (scenario == "sftp remote folder missing") {
        settings.location = QStringLiteral("nosuch/");
        return startSftp(settings, QStringLiteral("server"));
    }
    if (scenario == "connection lost")
        return startFtp(settings, QStringLiteral("drop-at-login"));
    if (scenario == "connection refused") {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost)) {
            QTest::qFail("no free port", __FILE__, __LINE__);
            return false;
        }
        settings.host = QStringLiteral("127.0.0.1:%1").arg(probe.serverPort());
        settings.user = QStringLiteral("harlune");
        return true; // the port closes with the probe
    }
    if (scenario == "name not found") {
        settings.host = QStringLiteral("no-such-host.invalid");
        settings.user = QStringLiteral("harlune");
        return true;
    }
    if (scenario == "no answer")
        return startFtp(settings, QStringLiteral("stall-reply"));
    if (scenario == "transfer stalled") {
        // More than the server takes in before it stops reading, and than
        // the sockets' buffers hold.
        if (!WriteLocalFile(local_, QByteArray(8 * 1024 * 1024, 'x')))
            return false;
        return startFtp(settings, QStringLiteral("stall-data"), 0, 64 * 1024);
    }
    if (scenario == "certificate not trusted")
        return startTls(settings, QStringLiteral("localhost"), false);
    if (scenario == "certificate for another name")
        return startTls(settings, QStringLiteral("other.example"), true);
    if (scenario == "TLS refused") {
        if (!startFtp(settings))
            return false;
        settings.host = QStringLiteral("ftpes://") + ftp_->hostPort();
        return true;
    }
    if (scenario == "host key unknown")
        return startSftp(settings, QStringLiteral("none"));
    if (scenario == "host key changed")
        return startSftp(settings, QStringLiteral("other"));
    if (scenario == "local file missing") {
        settings.local = dir_.filePath(QStringLiteral("missing.txt"));
        return startFtp(settings);
    }
    if (scenario == "local file unreadable") {
        QFile::setPermissions(local_, {});
        if (uploader_ == 0) {
            const passwd* nobody = getpwnam("nobody");
            if (!nobody) {
                QTest::qSkip("running as root with no user \"nobody\" to drop to", __FILE__,
                             __LINE__);
                return false;
            }
            uploader_ = nobody->pw_uid;
        }
        return startFtp(settings);
    }
    if (scenario == "local file changed") {
        if (!WriteLocalFile(local_, ChannelList(200'000)))
            return false;
        // Written to all through the upload, as a program regenerating the
        // list might.
        changer_ = std::make_unique<QTimer>();
        connect(changer_.get(), &QTimer::timeout, [this] {
            QFile file(local_);
            if (file.open(QIODevice::Append))
                file.write("Channel appended\n");
        });
        changer_->start(20);
        return startFtp(settings, QStringLiteral("normal"), 1024 * 1024);
    }
    if (scenario == "size differs")
        return startFtp(settings, QStringLiteral("wrong-size"));
    QTest::qFail(qPrintable("no such scenario: " + scenario), __FILE__, __LINE__);
    return false;
}

QStringList tst_FailureReports::run(const FixedSettings& settings, bool manual) {
    ShownResults reporter;
    UploadControl control(
        settings,
        [](QString host, QString user, QString password, QString local, QString remote,
           QString& reason) {
            return UploadFile(TransferInetFactory(TestTimeouts()), host, user, password, local, remote,
                              reason);
        },
        reporter, [] { return quint32(10'000'000); });
    EffectiveUser as(uploader_);
    if (!as.ok())
        qFatal("cannot change the effective user");
    if (manual)
        control.cmdUpload_Click();
    else
        control.TimerUpload_Timer();
    return reporter.shown;
}

void tst_FailureReports::oneLineNamesTheFailure_data() {
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QStringList>("words"); // all in the one warning; none for a success
    const auto row = [](const char* scenario, QStringList words) {
        QTest::newRow(scenario) << QString::fromLatin1(scenario) << words;
    };
    row("ftp published", {});
    row("ftpes published", {});
    row("sftp published", {});
    row("log-in refused", {"log-in refused for user \"harlune\"", "the server said \"530 "});
    row("sftp log-in refused", {"log-in refused for user"});
    row("remote folder missing", {"the remote folder \"nosuch\" does not exist", "550"});
    row("sftp remote folder missing", {"the remote folder \"nosuch\" does not exist"});
    row("connection lost", {"the connection to the server was lost"});
    row("connection refused", {"could not connect to \"127.0.0.1\" port", "Connection refused"});
    row("name not found", {"could not connect: the host name \"no-such-host.invalid\" was "
                           "not found"});
    row("no answer", {"no answer from the server for 5 s"});
    row("transfer stalled", {"the transfer stalled: no data moved for 3 s"});
    row("certificate not trusted", {"certificate is not trusted"});
    row("certificate for another name",
        {"certificate was issued for another name than \"localhost\""});
    row("TLS refused", {"TLS refused by the server"});
    row("host key unknown", {"host key unknown", "/.ssh/known_hosts\" holds no key for"});
    row("host key changed", {"host key changed", "/.ssh/known_hosts\""});
    row("local file missing",
        {"missing.txt\" is missing or unreadable: No such file or directory"});
    row("local file unreadable", {"channel_list.txt\" is missing or unreadable: Permission "
                                  "denied"});
    row("local file changed", {"changed while it was sent", "the copy published before stays"});
    row("size differs", {"the server kept", "the copy published before stays"});
}

void tst_FailureReports::oneLineNamesTheFailure() {
    QFETCH(QString, scenario);
    QFETCH(QStringList, words);
    const bool success = words.isEmpty();
    FixedSettings settings;
    if (!setUp(scenario, settings))
        return;

    const QByteArray secret = Awkward.toUtf8();
    const QList<QByteArray> secretForms{secret, QUrl::toPercentEncoding(Awkward)};
    QStringList written; // shown once the capture is over
    const auto checkLog = [&](const LogCapture& log, const QString& kind) {
        const QStringList warnings = log.texts("harlune.upload", QtWarningMsg);
        written += warnings;
        if (success) {
            QVERIFY2(warnings.isEmpty(), qPrintable(log.all()));
            return;
        }
        QCOMPARE(warnings.size(), 1);
        QVERIFY2(warnings[0].startsWith(kind + " upload to "), qPrintable(warnings[0]));
        for (const QString& word : words)
            QVERIFY2(warnings[0].contains(word), qPrintable(warnings[0]));
        // The destination: user name, host and remote path, never the password.
        QVERIFY2(warnings[0].contains(settings.location + "channel_list.txt"),
                 qPrintable(warnings[0]));
        QVERIFY2(warnings[0].contains("user \"" + settings.user + "\""), qPrintable(warnings[0]));
        for (const QByteArray& form : secretForms)
            QVERIFY(!log.all().toUtf8().contains(form));
    };

    // Manual, trace off: the box says no more than before.
    {
        LogCapture log;
        QCOMPARE(run(settings, true), QStringList{success ? "Success" : "Failed"});
        checkLog(log, "manual");
        if (QTest::currentTestFailed())
            return;
    }

    // Automatic, trace and successes on: still one warning, nothing shown,
    // and no secret in the whole conversation, its log-in included: the
    // session the manual upload held is closed first.
    CloseHeldSessions();
    QLoggingCategory::setFilterRules(
        QStringLiteral("harlune.transfer.debug=true\nharlune.upload.info=true"));
    auto log = std::make_unique<LogCapture>();
    QCOMPARE(run(settings, false), QStringList{});
    checkLog(*log, "automatic");
    const QStringList trace = log->texts("harlune.transfer", QtDebugMsg);
    if (success) {
        QVERIFY(log->texts("harlune.upload", QtInfoMsg).join('\n').contains("succeeded"));
        QVERIFY2(!trace.isEmpty(), "the trace is empty");
        if (!scenario.startsWith("sftp"))
            QVERIFY2(trace.join('\n').contains("> PASS ****"), qPrintable(trace.join('\n')));
    }
    const QString all = log->all();
    log.reset();
    for (const QByteArray& form : secretForms)
        QVERIFY2(!all.toUtf8().contains(form), qPrintable(all));
    if (qEnvironmentVariableIsSet("HARLUNE_SHOW_TRACE"))
        written += all;
    for (const QString& line : written)
        qInfo().noquote() << line;
}

QTEST_GUILESS_MAIN(tst_FailureReports)
#include "tst_failurereports.moc"
