// The servers web hosts run, in their default configuration and in the
// settings hosts use to restrict clients: each cell publishes twice through
// the real component and checks what the server ends up holding. What the
// second publish did there, watched on the server's disk, makes the table
// in README.md; the suite fails with the new table when the two differ.
#include "CurlInet.h"
#include "ResponseCodes.h"
#include "ServerLauncher.h"
#include "TestCertificates.h"
#include "TlsFallback.h"
#include "TransferTestHelpers.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <curl/curl.h>

#include <memory>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString FinalName = QStringLiteral("channel_list.txt");
const QString Folder = QStringLiteral("public_html");

// How a server is run: its launcher and what the configuration adds.
struct ServerConfig {
    QString server;      // as the table names it
    QString setting;     // as the table names it
    QString launcher;    // ftpserver.py/ftpsserver.py (pyftpdlib), or a launcher script
    QStringList options; // mode, configuration lines, flags: see each launcher
    bool rsa = false;    // TLS certificate with an RSA key instead of ECDSA
    QString tlsMax;      // "1.2": the server's OpenSSL offers nothing newer
    // The folder belongs to root: the session may overwrite the file there
    // (seeded before the first publish) and create nothing.
    bool lockedFolder = false;
};

ServerConfig config(const QString& server, const QString& setting, const QString& launcher,
                    const QStringList& options = {}, bool rsa = false, const QString& tlsMax = {}) {
    return {server, setting, launcher, options, rsa, tlsMax, false};
}

ServerConfig locked(ServerConfig config) {
    config.setting = "folder not writable, the file in it is";
    config.lockedFolder = true;
    return config;
}

struct Cell {
    ServerConfig config;
    QString transport; // ftp, ftpes, ftps, sftp; "ftp localhost": a bare host by name
};

// What a bare host did with TLS there, for the table.
QString bareHostPath(SecurityPath path) {
    switch (path) {
    case SecurityPath::VerifiedTls:
        return "ftp, TLS";
    case SecurityPath::UnverifiedTls:
        return "ftp, TLS, certificate not verified";
    case SecurityPath::PlainTlsRefused:
        return "ftp, clear text: TLS refused";
    case SecurityPath::PlainAfterTlsFailure:
        return "ftp, clear text after TLS failed";
    case SecurityPath::AsTyped:
        break;
    }
    return "ftp";
}

QByteArray listBytes(int version, int lines) {
    QByteArray bytes;
    for (int i = 0; i < lines; ++i)
        bytes += "Channel " + QByteArray::number(i) + " v" + QByteArray::number(version) + "\n";
    return bytes;
}

// A running server of one configuration, on 127.0.0.1.
class Server {
public:
    ~Server() { stop(); }

    QString start(const ServerConfig& config, const QString& certDir) {
        base_ = std::make_unique<QTemporaryDir>(QDir::tempPath() + "/harlune-matrix-XXXXXX");
        if (!base_->isValid() || !QDir().mkpath(root() + "/" + Folder))
            return "cannot create a temporary folder";
        QDir().mkpath(base_->filePath("logs"));
        const QString cert = certDir + "/server.pem", key = certDir + "/server.key";
        if (config.launcher.endsWith(".py")) {
            user_ = "harlune";
            QStringList args{ServerScript(config.launcher),
                             "--root",
                             root(),
                             "--user",
                             user_,
                             "--password",
                             password()};
            if (config.launcher == "ftpsserver.py") {
                args << "--certfile" << cert << "--keyfile" << key;
                if (!config.tlsMax.isEmpty())
                    args << "--tls-max" << config.tlsMax;
            } else {
                args << "--log" << base_->filePath("logs/commands.log");
            }
            QString error;
            port_ = StartPortPrinter(process_, "/usr/bin/python3", args + config.options,
                                     base_->filePath("logs/server.err"), 10'000, &error);
            return port_ ? QString() : error;
        }
        QStringList args;
        const bool packaged = config.launcher != "vsftpd.sh" && config.launcher != "sshd.sh";
        user_ = packaged && config.launcher != "inetutils-ftpd" ? "harlune" : TestSystemUser();
        sessionOwner_ = user_ == "harlune" ? "nobody" : user_;
        QString script = config.launcher;
        if (packaged) {
            script = "packaged-ftpd.sh";
            args << config.launcher;
        }
        args << root() << user_ << password();
        for (QString option : config.options)
            args << option.replace("@CERT@", cert).replace("@KEY@", key).replace("@ROOT@", root());
        QStringList environment;
        if (!config.tlsMax.isEmpty())
            environment << "HARLUNE_SERVER_TLS_MAX=" + config.tlsMax;
        const Launch launch = StartLauncher(script, args, 120'000, environment);
        if (!launch.ok)
            return (launch.skipped ? "SKIP " : "") + launch.error;
        script_ = script;
        pid_ = launch.values.value("PID").toLongLong();
        port_ = launch.values.value("PORT").toUShort();
        hostKey_ = launch.values.value("HOSTKEY");
        return {};
    }

    void stop() {
        StopProcess(process_);
        if (pid_ > 0)
            StopLauncher(script_, pid_);
        pid_ = 0;
    }

    QString root() const { return base_->filePath("home"); }
    QString user() const { return user_; }
    // The account the server's sessions write files as.
    QString sessionOwner() const { return sessionOwner_; }
    QString password() const { return "s3cret"; }
    quint16 port() const { return port_; }
    QString knownHostsLine() const {
        return QStringLiteral("[127.0.0.1]:%1 %2\n").arg(port_).arg(hostKey_);
    }

private:
    std::unique_ptr<QTemporaryDir> base_;
    QProcess process_;
    QString script_;
    qint64 pid_ = 0;
    quint16 port_ = 0;
    QString user_;
    QString hostKey_;
    QString sessionOwner_;
};

// What happens to names in one folder, as the kernel reports it.
class FolderWatch {
public:
    bool start(const QString& dir) {
        process_.start("inotifywait", {"-m", "-e", "create,close_write,moved_to,delete", "--format",
                                       "%e %f", dir});
        // It says so on standard error once it watches.
        process_.setReadChannel(QProcess::StandardError);
        QByteArray said;
        const QDeadlineTimer deadline(5000);
        while (!said.contains("Watches established") && !deadline.hasExpired() &&
               process_.state() != QProcess::NotRunning) {
            process_.waitForReadyRead(100);
            said += process_.readAllStandardError();
        }
        process_.setReadChannel(QProcess::StandardOutput);
        return said.contains("Watches established");
    }

    // The events so far, and stops watching.
    QStringList finish() {
        QTest::qWait(200);
        process_.terminate();
        process_.waitForFinished(2000);
        return QString::fromUtf8(process_.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    }

private:
    QProcess process_;
};

// The steps a publish took, from the events in its folder. A name created
// and never written is a rename by hard link, as OpenSSH's SFTP server does
// it; random parts of names read "*".
QString describe(const QStringList& events) {
    static const QRegularExpression random("[0-9a-f]{4,}(\\.[0-9a-f]+)*");
    QStringList steps;
    for (qsizetype i = 0; i < events.size(); ++i) {
        const QString event = events[i].section(' ', 0, 0);
        const QString name = events[i].section(' ', 1);
        const auto writtenLater = [&] {
            for (qsizetype j = i + 1; j < events.size(); ++j) {
                if (events[j] == "CLOSE_WRITE,CLOSE " + name)
                    return true;
            }
            return false;
        };
        QString step;
        if (event.startsWith("CLOSE_WRITE"))
            step = "store ";
        else if (event.startsWith("MOVED_TO") || (event.startsWith("CREATE") && !writtenLater()))
            step = "rename onto ";
        else if (event.startsWith("DELETE"))
            step = "delete ";
        else
            continue;
        step += QString(name).replace(random, "*");
        if (steps.isEmpty() || steps.last() != step)
            steps << step;
    }
    return steps.join(", ");
}

QString tableRow(const QStringList& cells) {
    return "| " + cells.join(" | ") + " |";
}

} // namespace

Q_DECLARE_METATYPE(Cell)

class tst_Compatibility : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void publishTwice_data();
    void publishTwice();
    void cleanupTestCase();

private:
    QString serverFor(const ServerConfig& config);
    QTemporaryDir dir_;
    Server server_;
    QString running_; // the configuration the server runs with
    QMap<QString, QString> rows_;
    QStringList order_;
    qsizetype cells_ = 0;
};

void tst_Compatibility::initTestCase() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    QVERIFY(dir_.isValid());
    for (const char* kind : {"ec", "rsa"}) {
        const QString certDir = dir_.filePath(kind);
        QVERIFY(QDir().mkpath(certDir));
        const QString error =
            MakeTestCertificates(certDir, "localhost", QLatin1String(kind) == "rsa");
        QVERIFY2(error.isEmpty(), qPrintable(error));
    }
    QVERIFY(QDir().mkpath(dir_.filePath("home/.ssh")));
}

void tst_Compatibility::publishTwice_data() {
    QTest::addColumn<Cell>("cell");
    // Names left beside the final file that the table explains.
    QTest::addColumn<QString>("leftBehind");

    const auto add = [this](const ServerConfig& config, const QString& transport,
                            const QString& leftBehind = {}) {
        QTest::addRow("%s, %s, %s", qPrintable(config.server), qPrintable(config.setting),
                      qPrintable(transport))
            << Cell{config, transport} << leftBehind;
        ++cells_;
    };
    const QString tlsModule = "LoadModule mod_tls.c";
    const QStringList proftpdTls{tlsModule, "TLSEngine on", "TLSRequired on",
                                 "TLSECCertificateFile @CERT@", "TLSECCertificateKeyFile @KEY@"};
    const QStringList vsftpdTls{"ssl_enable=YES", "rsa_cert_file=@CERT@",
                                "rsa_private_key_file=@KEY@"};
    // TLS for whoever asks, as hosts that also serve old clients set it.
    const QStringList vsftpdTlsOffered =
        vsftpdTls + QStringList{"force_local_logins_ssl=NO", "force_local_data_ssl=NO"};
    const QStringList proftpdTlsOffered{tlsModule, "TLSEngine on", "TLSRequired off",
                                        "TLSECCertificateFile @CERT@",
                                        "TLSECCertificateKeyFile @KEY@"};

    // clang-format off
    add(config("pyftpdlib", "default", "ftpserver.py"), "ftp");
    add(config("pyftpdlib", "names beginning with a dot refused", "ftpserver.py", {"--mode", "no-dot-names"}), "ftp");
    add(config("pyftpdlib", "delete refused", "ftpserver.py", {"--mode", "no-delete"}), "ftp");
    add(config("pyftpdlib", "rename onto an existing file refused", "ftpserver.py", {"--mode", "no-overwrite"}), "ftp");
    add(config("pyftpdlib", "rename refused", "ftpserver.py", {"--mode", "no-rename"}), "ftp");
    add(config("pyftpdlib", "TLS required", "ftpsserver.py"), "ftpes");
    add(config("pyftpdlib", "TLS required, TLS 1.2 at most", "ftpsserver.py", {}, false, "1.2"), "ftpes");
    add(config("pyftpdlib", "implicit TLS", "ftpsserver.py", {"--implicit"}), "ftps");

    add(config("vsftpd", "default", "vsftpd.sh"), "ftp");
    add(config("vsftpd", "names beginning with a dot refused (deny_file={.*})", "vsftpd.sh", {"deny_file={.*}"}), "ftp");
    add(config("vsftpd", "delete refused (cmds_denied=DELE)", "vsftpd.sh", {"cmds_denied=DELE"}), "ftp");
    add(locked(config("vsftpd", "", "vsftpd.sh")), "ftp");
    add(config("vsftpd", "rename refused (cmds_denied=RNFR,RNTO)", "vsftpd.sh", {"cmds_denied=RNFR,RNTO"}), "ftp");
    add(config("vsftpd", "ssl_enable=YES (session reuse required), ECDSA certificate: TLS 1.3 only", "vsftpd.sh", vsftpdTls), "ftpes");
    add(config("vsftpd", "ssl_enable=YES (session reuse required), ECDSA certificate: TLS 1.3 only", "vsftpd.sh", vsftpdTls), "ftp localhost");
    add(config("vsftpd", "ssl_enable=YES (session reuse required), RSA certificate, TLS 1.2 at most", "vsftpd.sh", vsftpdTls, true, "1.2"), "ftpes");
    add(config("vsftpd", "ssl_enable=YES, TLS not forced", "vsftpd.sh", vsftpdTlsOffered), "ftp localhost");
    add(config("vsftpd", "ssl_enable=YES, TLS not forced", "vsftpd.sh", vsftpdTlsOffered), "ftp");

    add(config("proftpd", "default", "proftpd"), "ftp");
    add(config("proftpd", "names beginning with a dot refused (PathDenyFilter)", "proftpd", {"PathDenyFilter \"(^|/)[.]\""}), "ftp");
    add(config("proftpd", "overwrite refused (AllowOverwrite off)", "proftpd", {"<Directory @ROOT@>", "AllowOverwrite off", "</Directory>"}), "ftp");
    add(config("proftpd", "delete refused (<Limit DELE>)", "proftpd", {"<Limit DELE>", "DenyAll", "</Limit>"}), "ftp");
    add(config("proftpd", "mod_tls, TLSRequired on, session reuse required", "proftpd", proftpdTls), "ftpes");
    add(config("proftpd", "mod_tls, TLSRequired on, TLSProtocol TLSv1.2", "proftpd", proftpdTls + QStringList{"TLSProtocol TLSv1.2"}), "ftpes");
    add(config("proftpd", "mod_tls, TLSRequired off", "proftpd", proftpdTlsOffered), "ftp localhost");
    add(config("proftpd", "mod_tls, TLSRequired off", "proftpd", proftpdTlsOffered), "ftp");

    add(config("pure-ftpd", "default", "pure-ftpd"), "ftp");
    add(config("pure-ftpd", "names beginning with a dot refused (-x)", "pure-ftpd", {"-x"}), "ftp");
    add(config("pure-ftpd", "delete refused (-K)", "pure-ftpd", {"-K"}), "ftp");
    add(config("pure-ftpd", "overwrite refused, uploads renamed (-r)", "pure-ftpd", {"-r"}), "ftp");
    add(locked(config("pure-ftpd", "", "pure-ftpd")), "ftp");
    add(config("pure-ftpd", "TLS required (-Y 3)", "pure-ftpd", {"-Y", "3", "-2", "@CERT@,@KEY@"}), "ftpes");
    add(config("pure-ftpd", "TLS required (-Y 3), TLS 1.2 at most", "pure-ftpd", {"-Y", "3", "-2", "@CERT@,@KEY@"}, false, "1.2"), "ftpes");
    add(config("pure-ftpd", "TLS offered (-Y 1)", "pure-ftpd", {"-Y", "1", "-2", "@CERT@,@KEY@"}), "ftp localhost");
    add(config("pure-ftpd", "TLS offered (-Y 1)", "pure-ftpd", {"-Y", "1", "-2", "@CERT@,@KEY@"}), "ftp");

    add(config("inetutils ftpd", "default", "inetutils-ftpd"), "ftp");

    add(config("OpenSSH", "default", "sshd.sh"), "sftp");
    add(config("OpenSSH", "delete refused (internal-sftp -P remove)", "sshd.sh", {"-P", "remove"}), "sftp",
        ".channel_list.txt.*.part");
    add(locked(config("OpenSSH", "", "sshd.sh")), "sftp");
    add(config("OpenSSH", "rename refused (internal-sftp -P rename)", "sshd.sh", {"-P", "rename,posix-rename@openssh.com"}), "sftp");
    // clang-format on
}

QString tst_Compatibility::serverFor(const ServerConfig& config) {
    const QString key = config.server + '|' + config.setting;
    if (running_ == key)
        return {};
    server_.stop();
    running_.clear();
    const QString error = server_.start(config, dir_.filePath(config.rsa ? "rsa" : "ec"));
    if (error.isEmpty())
        running_ = key;
    return error;
}

void tst_Compatibility::publishTwice() {
    QFETCH(Cell, cell);
    QFETCH(QString, leftBehind);
    const QString error = serverFor(cell.config);
    if (error.startsWith("SKIP "))
        QSKIP(qPrintable(error.mid(5)));
    QVERIFY2(error.isEmpty(), qPrintable(error));

    const QString scheme = cell.transport.section(' ', 0, 0);
    const bool tls = scheme == "ftpes" || scheme == "ftps";
    const bool byName = tls || cell.transport.endsWith(" localhost");
    qputenv("SSL_CERT_FILE",
            QFile::encodeName(dir_.filePath(cell.config.rsa ? "rsa/ca.pem" : "ec/ca.pem")));
    if (scheme == "sftp") {
        QFile knownHosts(dir_.filePath("home/.ssh/known_hosts"));
        QVERIFY(knownHosts.open(QIODevice::WriteOnly));
        knownHosts.write(server_.knownHostsLine().toUtf8());
        knownHosts.close();
        qputenv("HOME", QFile::encodeName(dir_.filePath("home")));
    }
    const QString host = QStringLiteral("%1://%2:%3")
                             .arg(scheme, byName ? "localhost" : "127.0.0.1")
                             .arg(server_.port());
    const QString remote = Folder + '/' + FinalName;
    const QString local = dir_.filePath(FinalName);
    const QString remoteDir = server_.root() + '/' + Folder;
    if (cell.config.lockedFolder) {
        QVERIFY(WriteIn(server_.root(), remote, "old\n", server_.sessionOwner()));
        QVERIFY(::chown(QFile::encodeName(remoteDir).constData(), 0, 0) == 0);
        QVERIFY(::chmod(QFile::encodeName(remoteDir).constData(), 0755) == 0);
    }

    // Two publishes of other bytes (and another length): the second replaces
    // the first. Large enough for a TLS store to lose its end.
    QString steps;
    QString transport = scheme;
    for (int version = 1; version <= 2; ++version) {
        const QByteArray bytes = listBytes(version, 20'000 + version * 1000);
        QFile file(local);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        file.close();
        FolderWatch watch;
        QVERIFY(watch.start(remoteDir));
        CurlInet inet(TestTimeouts());
        const qint32 code = RunPut(inet, host, server_.user(), server_.password(), local, remote);
        const QStringList events = watch.finish();
        QVERIFY2(code == ResponseCodes::Ok, qPrintable(QStringLiteral("publish %1 answered %2; %3")
                                                           .arg(version)
                                                           .arg(code)
                                                           .arg(events.join("; "))));
        QVERIFY2(BytesIn(server_.root(), remote) == bytes,
                 qPrintable(QStringLiteral("publish %1: %2 bytes on the server, %3 sent")
                                .arg(version)
                                .arg(BytesIn(server_.root(), remote).size())
                                .arg(bytes.size())));
        steps = describe(events);
        if (scheme == "ftp")
            transport = bareHostPath(inet.LastSecurityPath());
    }
    QStringList entries = EntriesIn(server_.root(), Folder);
    entries.removeAll(FinalName);
    static const QRegularExpression token("[0-9a-f]{8,}");
    QString left = entries.isEmpty() ? QString() : entries.join(' ').replace(token, "*");
    QCOMPARE(left, leftBehind);

    const QString row =
        tableRow({cell.config.server, cell.config.setting, transport,
                  steps + (left.isEmpty() ? QString() : "; left beside it: " + left)});
    const QString name = QTest::currentDataTag();
    qInfo().noquote() << row;
    rows_.insert(name, row);
    order_ << name;
}

void tst_Compatibility::cleanupTestCase() {
    server_.stop();
    // Only a run of every cell speaks for the whole table.
    if (order_.size() != cells_)
        return;
    QStringList table{
        tableRow({"Server", "Configuration", "Transport", "What the second publish does there"}),
        "|---|---|---|---|"};
    for (const QString& name : std::as_const(order_))
        table << rows_.value(name);
    const QString block = table.join('\n') + '\n';
    const QString readme = ReadTextFile(QStringLiteral(HARLUNE_SOURCE_DIR "/README.md"));
    const QString begin = "<!-- compatibility table: made by tst_compatibility -->\n";
    const QString end = "<!-- end of compatibility table -->";
    const qsizetype from = readme.indexOf(begin);
    const qsizetype to = readme.indexOf(end);
    QVERIFY2(from >= 0 && to > from, "README.md has no compatibility table markers");
    const QString current = readme.mid(from + begin.size(), to - from - begin.size());
    if (current != block)
        qWarning().noquote() << "README.md's table is out of date; it should read:\n" + block;
    QCOMPARE(current, block);
}

QTEST_GUILESS_MAIN(tst_Compatibility)
#include "tst_compatibility.moc"
