#include "PackagedFtpServer.h"

#include "ServerLauncher.h"

#include <QDir>
#include <QTemporaryDir>

// The first start may have to fetch the packages.
constexpr int StartTimeoutMs = 120'000;

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

    const Launch launch = StartLauncher(
        QStringLiteral("packaged-ftpd.sh"),
        {m_kind == Kind::Proftpd ? QStringLiteral("proftpd") : QStringLiteral("pure-ftpd"), root(),
         user(), password()},
        StartTimeoutMs);
    if (launch.skipped)
        m_skipReason = launch.error;
    if (!launch.ok)
        return fail(launch.error);
    m_port = launch.values.value(QStringLiteral("PORT")).toUShort();
    m_pid = launch.values.value(QStringLiteral("PID")).toLongLong();
    return true;
}

void PackagedFtpServer::stop() {
    if (m_pid > 0) {
        StopLauncher(QStringLiteral("packaged-ftpd.sh"), m_pid);
        m_pid = 0;
    }
    m_port = 0;
}

QString PackagedFtpServer::root() const {
    return m_base ? m_base->filePath(QStringLiteral("home")) : QString();
}

QStringList PackagedFtpServer::entries(const QString& relDir) const {
    return EntriesIn(root(), relDir);
}

QByteArray PackagedFtpServer::remoteBytes(const QString& relPath) const {
    return BytesIn(root(), relPath);
}

bool PackagedFtpServer::writeRemote(const QString& relPath, const QByteArray& bytes) const {
    return WriteIn(root(), relPath, bytes, QStringLiteral("nobody"));
}

bool PackagedFtpServer::fail(const QString& error) {
    m_error = error;
    return false;
}
