#include "PackagedFtpServer.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <pwd.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>

namespace {

// The first start may have to fetch the packages.
constexpr int StartTimeoutMs = 120'000;
constexpr int StopTimeoutMs = 10'000;

QString script() {
    return QStringLiteral(HARLUNE_TEST_SERVERS_DIR "/packaged-ftpd.sh");
}

} // namespace

PackagedFtpServer::PackagedFtpServer(Kind kind) : m_kind(kind) {}

PackagedFtpServer::~PackagedFtpServer() {
    stop();
}

bool PackagedFtpServer::start() {
    stop();
    m_error.clear();
    m_skipReason.clear();
    m_base =
        std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/harlune-ftpd-XXXXXX"));
    if (!m_base->isValid())
        return fail(QStringLiteral("cannot create a temporary folder: ") + m_base->errorString());

    QProcess process;
    process.setProgram(QStringLiteral("bash"));
    process.setArguments(
        {script(), QStringLiteral("start"),
         m_kind == Kind::Proftpd ? QStringLiteral("proftpd") : QStringLiteral("pure-ftpd"), root(),
         user(), password()});
    const pid_t parent = getpid();
    process.setChildProcessModifier([parent] {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(1);
    });
    process.start();
    if (!process.waitForFinished(StartTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        return fail(QStringLiteral("packaged-ftpd.sh start did not finish in time"));
    }
    const QString err = QString::fromUtf8(process.readAllStandardError()).trimmed();
    if (process.exitStatus() == QProcess::NormalExit && process.exitCode() == 77) {
        m_skipReason = err;
        return fail(err);
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return fail(QStringLiteral("packaged-ftpd.sh start failed: ") + err);

    const QString out = QString::fromUtf8(process.readAllStandardOutput());
    static const QRegularExpression portLine(QStringLiteral("^PORT (\\d+)$"),
                                             QRegularExpression::MultilineOption);
    static const QRegularExpression pidLine(QStringLiteral("^PID (\\d+)$"),
                                            QRegularExpression::MultilineOption);
    const auto port = portLine.match(out);
    const auto pid = pidLine.match(out);
    if (!port.hasMatch() || !pid.hasMatch())
        return fail(QStringLiteral("packaged-ftpd.sh start printed no port: ") + out + err);
    m_port = port.captured(1).toUShort();
    m_pid = pid.captured(1).toLongLong();
    return true;
}

void PackagedFtpServer::stop() {
    if (m_pid > 0) {
        QProcess process;
        process.start(QStringLiteral("bash"),
                      {script(), QStringLiteral("stop"), QString::number(m_pid)});
        if (!process.waitForFinished(StopTimeoutMs))
            process.kill();
        process.waitForFinished();
        m_pid = 0;
    }
    m_port = 0;
}

QString PackagedFtpServer::root() const {
    return m_base ? m_base->filePath(QStringLiteral("home")) : QString();
}

QStringList PackagedFtpServer::entries(const QString& relDir) const {
    QStringList names =
        QDir(root() + QLatin1Char('/') + relDir)
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    names.sort();
    return names;
}

QByteArray PackagedFtpServer::remoteBytes(const QString& relPath) const {
    QFile file(root() + QLatin1Char('/') + relPath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool PackagedFtpServer::writeRemote(const QString& relPath, const QByteArray& bytes) const {
    const QString path = root() + QLatin1Char('/') + relPath;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        return false;
    file.close();
    const passwd* account = getpwnam("nobody");
    return account &&
           chown(QFile::encodeName(path).constData(), account->pw_uid, account->pw_gid) == 0;
}

bool PackagedFtpServer::fail(const QString& error) {
    m_error = error;
    return false;
}
