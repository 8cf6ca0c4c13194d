#include "TestServer.h"

#include "ServerLauncher.h"

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <csignal>

ServerConfig MakeServerConfig(const QString& server, const QString& setting,
                              const QString& launcher, const QStringList& options, bool rsa,
                              const QString& tlsMax) {
    ServerConfig made;
    made.server = server;
    made.setting = setting;
    made.launcher = launcher;
    made.options = options;
    made.rsa = rsa;
    made.tlsMax = tlsMax;
    return made;
}

TestServer::TestServer() = default;

TestServer::~TestServer() {
    stop();
}

QString TestServer::start(const ServerConfig& config, const QString& certDir) {
    stop();
    config_ = config;
    certDir_ = certDir;
    port_ = 0;
    base_ = std::make_unique<QTemporaryDir>(QDir::tempPath() + "/harlune-matrix-XXXXXX");
    if (!base_->isValid() || !QDir().mkpath(root() + "/public_html"))
        return "cannot create a temporary folder";
    QDir().mkpath(base_->filePath("logs"));
    return restart();
}

QString TestServer::restart() {
    stop();
    const ServerConfig& config = config_;
    const QString cert = certDir_ + "/server.pem", key = certDir_ + "/server.key";
    if (config.launcher.endsWith(".py")) {
        // pyftpdlib writes as the account the test runs as.
        sessionOwner_.clear();
        user_ = config.user;
        QStringList args{ServerScript(config.launcher), "--root", root(), "--user", user_,
                         "--password", password(), "--log", commandLog()};
        if (config.launcher == "ftpsserver.py") {
            args << "--certfile" << cert << "--keyfile" << key;
            if (!config.tlsMax.isEmpty())
                args << "--tls-max" << config.tlsMax;
        }
        QString error;
        port_ = StartPortPrinter(process_, "/usr/bin/python3", args + config.options,
                                 file("logs/server.err"), 15'000, &error);
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
    // Started again: where it listened before.
    if (port_)
        environment << "HARLUNE_SERVER_PORT=" + QString::number(port_);
    const Launch launch = StartLauncher(script, args, 120'000, environment);
    if (!launch.ok)
        return (launch.skipped ? "SKIP " : "") + launch.error;
    script_ = script;
    pid_ = launch.values.value("PID").toLongLong();
    port_ = launch.values.value("PORT").toUShort();
    hostKey_ = launch.values.value("HOSTKEY");
    return {};
}

QString TestServer::restartWith(const QStringList& options) {
    config_.options = options;
    return restart();
}

void TestServer::stop() {
    StopProcess(process_);
    if (pid_ > 0)
        StopLauncher(script_, pid_);
    pid_ = 0;
}

bool TestServer::isRunning() const {
    return port_ != 0 && (pid_ > 0 || process_.state() == QProcess::Running);
}

QString TestServer::root() const {
    return file("home");
}

QString TestServer::file(const QString& name) const {
    return base_ ? base_->filePath(name) : QString();
}

QStringList TestServer::entries(const QString& relDir) const {
    return EntriesIn(root(), relDir);
}

QByteArray TestServer::remoteBytes(const QString& relPath) const {
    return BytesIn(root(), relPath);
}

bool TestServer::writeRemote(const QString& relPath, const QByteArray& bytes) const {
    // The server's sessions must be able to replace the file.
    return WriteIn(root(), relPath, bytes, sessionOwner_);
}

QString TestServer::logInLog() const {
    if (config_.launcher == "vsftpd.sh")
        return file("vsftpd.log");
    if (config_.launcher == "sshd.sh")
        return file("sshd.log");
    if (config_.launcher == "proftpd")
        return file("proftpd.log");
    return {};
}

int TestServer::countInLog(const QString& pattern) const {
    const QString log = logInLog();
    if (log.isEmpty())
        return -1;
    const QRegularExpression line(pattern, QRegularExpression::MultilineOption);
    int count = 0;
    for (auto it = line.globalMatch(ReadTextFile(log)); it.hasNext(); it.next())
        ++count;
    return count;
}

// vsftpd with log_ftp_protocol=YES, proftpd's SystemLog, sshd at LogLevel
// VERBOSE.
int TestServer::logIns() const {
    return countInLog(QStringLiteral(R"(\] OK LOGIN: |: Login successful\.$|)"
                                     R"(Accepted (password|publickey) for )"));
}

int TestServer::refusedLogIns() const {
    return countInLog(QStringLiteral(R"(\] FAIL LOGIN: |\(Login failed\): |)"
                                     R"(Failed password for )"));
}

bool TestServer::started(const QString& outcome) {
    const bool skipped = outcome.startsWith(QStringLiteral("SKIP "));
    error_ = skipped ? outcome.mid(5) : outcome;
    skipReason_ = skipped ? error_ : QString();
    return outcome.isEmpty();
}

void SignalProcessTree(qint64 pid, int signal) {
    // Children first found, then signalled: a stopped parent starts none.
    QList<qint64> tree{pid};
    for (qsizetype i = 0; i < tree.size(); ++i) {
        const QString children =
            ReadTextFile(QStringLiteral("/proc/%1/task/%1/children").arg(tree[i]));
        for (const QString& child : children.split(u' ', Qt::SkipEmptyParts))
            tree << child.toLongLong();
    }
    for (const qint64 each : std::as_const(tree))
        ::kill(static_cast<pid_t>(each), signal);
}
