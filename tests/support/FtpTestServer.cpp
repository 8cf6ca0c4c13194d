#include "FtpTestServer.h"

#include "ServerLauncher.h"

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>

namespace {

constexpr int StartTimeoutMs = 10000;
const QString VsftpdUser = TestSystemUser();

} // namespace

FtpTestServer::FtpTestServer(Kind kind) : m_kind(kind) {}

FtpTestServer::~FtpTestServer() {
    stop();
}

bool FtpTestServer::start() {
    return start(Options{});
}

bool FtpTestServer::start(const Options& options) {
    stop();
    m_error.clear();
    m_skipReason.clear();
    m_base =
        std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/harlune-ftp-XXXXXX"));
    if (!m_base->isValid())
        return fail(QStringLiteral("cannot create a temporary folder: ") + m_base->errorString());
    if (!QDir().mkpath(root() + QStringLiteral("/public_html")))
        return fail(QStringLiteral("cannot create ") + root() + QStringLiteral("/public_html"));
    m_host = options.host;
    m_password = options.password;
    const bool ok = m_kind == Kind::Pyftpdlib ? startPyftpdlib(options) : startVsftpd(options);
    if (!ok)
        stop();
    return ok;
}

bool FtpTestServer::startPyftpdlib(const Options& options) {
    m_user = options.user;
    QStringList arguments{
        ServerScript(QStringLiteral("ftpserver.py")),
        QStringLiteral("--root"),
        root(),
        QStringLiteral("--user"),
        options.user,
        QStringLiteral("--password"),
        options.password,
        QStringLiteral("--host"),
        options.host,
        QStringLiteral("--port"),
        QStringLiteral("0"),
        QStringLiteral("--mode"),
        options.mode,
        QStringLiteral("--drop-after"),
        QString::number(options.dropAfter),
        QStringLiteral("--throttle"),
        QString::number(options.throttle),
        QStringLiteral("--log"),
        basePath(QStringLiteral("commands.log")),
    };
    if (options.passivePorts > 0)
        arguments << QStringLiteral("--passive-ports")
                  << QStringLiteral("%1-%2")
                         .arg(options.firstPassivePort)
                         .arg(options.firstPassivePort + options.passivePorts - 1);
    QString error;
    m_port = StartPortPrinter(m_process, QStringLiteral("/usr/bin/python3"), arguments,
                              basePath(QStringLiteral("server.err")), StartTimeoutMs, &error);
    return m_port != 0 || fail(error);
}

bool FtpTestServer::startVsftpd(const Options& options) {
    m_user = VsftpdUser;
    if (options.mode != QLatin1String("normal") || options.dropAfter != 0 ||
        options.throttle != 0 || options.passivePorts != 0)
        return fail(QStringLiteral("vsftpd has no test modes"));
    if (options.host != QLatin1String("127.0.0.1"))
        return fail(QStringLiteral("vsftpd listens on 127.0.0.1 only"));

    const Launch launch = StartLauncher(QStringLiteral("vsftpd.sh"),
                                        {root(), m_user, options.password}, StartTimeoutMs);
    if (launch.skipped)
        m_skipReason = launch.error;
    if (!launch.ok)
        return fail(launch.error);
    m_port = launch.values.value(QStringLiteral("PORT")).toUShort();
    m_vsftpdPid = launch.values.value(QStringLiteral("PID")).toLongLong();
    return true;
}

void FtpTestServer::stop() {
    StopProcess(m_process);
    if (m_vsftpdPid > 0) {
        StopLauncher(QStringLiteral("vsftpd.sh"), m_vsftpdPid);
        m_vsftpdPid = 0;
    }
    m_port = 0;
}

bool FtpTestServer::isRunning() const {
    return m_port != 0 && (m_vsftpdPid > 0 || m_process.state() == QProcess::Running);
}

QString FtpTestServer::hostPort() const {
    const QString host =
        m_host.contains(QLatin1Char(':')) ? QLatin1Char('[') + m_host + QLatin1Char(']') : m_host;
    return host + QLatin1Char(':') + QString::number(m_port);
}

QString FtpTestServer::root() const {
    return basePath(QStringLiteral("home"));
}

QStringList FtpTestServer::commands() const {
    if (m_kind == Kind::Pyftpdlib)
        return ReadTextFile(basePath(QStringLiteral("commands.log")))
            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);

    // vsftpd's protocol log: ... CONNECT: Client "127.0.0.1"
    //                        ... FTP command: Client "127.0.0.1", "STOR x"
    static const QRegularExpression command(
        QStringLiteral("FTP command: Client \"[^\"]*\", \"(.*)\"$"));
    QStringList result;
    const QStringList lines = ReadTextFile(basePath(QStringLiteral("vsftpd.log")))
                                  .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        if (line.contains(QLatin1String("] CONNECT: Client ")))
            result << QStringLiteral("CONNECT");
        else if (const auto match = command.match(line); match.hasMatch())
            result << match.captured(1);
    }
    return result;
}

QStringList FtpTestServer::entries(const QString& relDir) const {
    return EntriesIn(root(), relDir);
}

QByteArray FtpTestServer::remoteBytes(const QString& relPath) const {
    return BytesIn(root(), relPath);
}

bool FtpTestServer::writeRemote(const QString& relPath, const QByteArray& bytes) const {
    // vsftpd sessions run as the FTP user, who must be able to replace the file.
    return WriteIn(root(), relPath, bytes, m_kind == Kind::Vsftpd ? VsftpdUser : QString());
}

bool FtpTestServer::fail(const QString& error) {
    m_error = error;
    return false;
}

QString FtpTestServer::basePath(const QString& name) const {
    return m_base ? m_base->filePath(name) : QString();
}
