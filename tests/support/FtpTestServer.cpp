#include "FtpTestServer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <csignal>
#include <pwd.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

constexpr int StartTimeoutMs = 10000;
constexpr int StopGraceMs = 2000;
const QString VsftpdUser = QStringLiteral("harluneftp");

QString serversDir() {
    return QStringLiteral(HARLUNE_TEST_SERVERS_DIR);
}

// The server must not outlive a test that crashes before its destructor runs.
void dieWithParent(QProcess& process) {
    const pid_t parent = getpid();
    process.setChildProcessModifier([parent] {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(1);
    });
}

QString readTextFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll());
}

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
    m_process.setProgram(QStringLiteral("/usr/bin/python3"));
    m_process.setArguments({
        serversDir() + QStringLiteral("/ftpserver.py"),
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
    });
    // A file, not a pipe: a chatty server must never block on a full pipe.
    m_process.setStandardErrorFile(basePath(QStringLiteral("server.err")));
    dieWithParent(m_process);
    m_process.start();
    if (!m_process.waitForStarted(StartTimeoutMs))
        return fail(QStringLiteral("cannot run /usr/bin/python3: ") + m_process.errorString());

    static const QRegularExpression portLine(QStringLiteral("^PORT (\\d+)$"));
    const QDeadlineTimer deadline(StartTimeoutMs);
    while (!deadline.hasExpired()) {
        if (m_process.canReadLine()) {
            const QString line = QString::fromUtf8(m_process.readLine()).trimmed();
            const auto match = portLine.match(line);
            if (match.hasMatch()) {
                m_port = match.captured(1).toUShort();
                return true;
            }
            continue;
        }
        if (m_process.state() == QProcess::NotRunning)
            break;
        m_process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
    }
    const bool exited = m_process.state() == QProcess::NotRunning;
    const QString err = readTextFile(basePath(QStringLiteral("server.err"))).trimmed();
    return fail(QStringLiteral("pyftpdlib server %1: %2")
                    .arg(exited ? QStringLiteral("exited")
                                : QStringLiteral("did not report a port in time"),
                         err));
}

bool FtpTestServer::startVsftpd(const Options& options) {
    m_user = VsftpdUser;
    if (options.mode != QLatin1String("normal") || options.dropAfter != 0 || options.throttle != 0)
        return fail(QStringLiteral("vsftpd has no test modes"));
    if (options.host != QLatin1String("127.0.0.1"))
        return fail(QStringLiteral("vsftpd listens on 127.0.0.1 only"));

    QProcess script;
    script.setProgram(QStringLiteral("bash"));
    script.setArguments({serversDir() + QStringLiteral("/vsftpd.sh"), QStringLiteral("start"),
                         root(), m_user, options.password});
    dieWithParent(script);
    script.start();
    if (!script.waitForFinished(StartTimeoutMs)) {
        script.kill();
        script.waitForFinished();
        return fail(QStringLiteral("vsftpd.sh start did not finish in time"));
    }
    const QString err = QString::fromUtf8(script.readAllStandardError()).trimmed();
    if (script.exitStatus() == QProcess::NormalExit && script.exitCode() == 77) {
        m_skipReason = err.isEmpty() ? QStringLiteral("vsftpd cannot run here") : err;
        return fail(m_skipReason);
    }
    if (script.exitStatus() != QProcess::NormalExit || script.exitCode() != 0)
        return fail(QStringLiteral("vsftpd.sh start failed: ") + err);

    const QString out = QString::fromUtf8(script.readAllStandardOutput());
    static const QRegularExpression portLine(QStringLiteral("^PORT (\\d+)$"),
                                             QRegularExpression::MultilineOption);
    static const QRegularExpression pidLine(QStringLiteral("^PID (\\d+)$"),
                                            QRegularExpression::MultilineOption);
    const auto port = portLine.match(out);
    const auto pid = pidLine.match(out);
    if (pid.hasMatch())
        m_vsftpdPid = pid.captured(1).toLongLong();
    if (!port.hasMatch() || !pid.hasMatch())
        return fail(QStringLiteral("vsftpd.sh start printed no port: ") + out + err);
    m_port = port.captured(1).toUShort();
    return true;
}

void FtpTestServer::stop() {
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(StopGraceMs)) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }
    if (m_vsftpdPid > 0) {
        QProcess script;
        script.start(QStringLiteral("bash"),
                     {serversDir() + QStringLiteral("/vsftpd.sh"), QStringLiteral("stop"),
                      QString::number(m_vsftpdPid)});
        if (!script.waitForFinished(StartTimeoutMs))
            script.kill();
        script.waitForFinished();
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
        return readTextFile(basePath(QStringLiteral("commands.log")))
            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);

    // vsftpd's protocol log: ... CONNECT: Client "127.0.0.1"
    //                        ... FTP command: Client "127.0.0.1", "STOR x"
    static const QRegularExpression command(
        QStringLiteral("FTP command: Client \"[^\"]*\", \"(.*)\"$"));
    QStringList result;
    const QStringList lines = readTextFile(basePath(QStringLiteral("vsftpd.log")))
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
    QStringList names =
        QDir(root() + QLatin1Char('/') + relDir)
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                       QDir::Unsorted);
    names.sort();
    return names;
}

QByteArray FtpTestServer::remoteBytes(const QString& relPath) const {
    QFile file(root() + QLatin1Char('/') + relPath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool FtpTestServer::writeRemote(const QString& relPath, const QByteArray& bytes) const {
    const QString path = root() + QLatin1Char('/') + relPath;
    QFile file(path);
    if (!QDir().mkpath(QFileInfo(path).path()) ||
        !file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        return false;
    file.close();
    if (m_kind == Kind::Vsftpd) {
        // vsftpd sessions run as the FTP user, who must be able to replace the file.
        const passwd* account = getpwnam(VsftpdUser.toLocal8Bit().constData());
        if (!account ||
            chown(QFile::encodeName(path).constData(), account->pw_uid, account->pw_gid) != 0)
            return false;
    }
    return true;
}

bool FtpTestServer::fail(const QString& error) {
    m_error = error;
    return false;
}

QString FtpTestServer::basePath(const QString& name) const {
    return m_base ? m_base->filePath(name) : QString();
}
