#include "SecureTestServer.h"

#include "ServerLauncher.h"
#include "TestCertificates.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace {

constexpr int StartTimeoutMs = 15000;
const QString SshUser = TestSystemUser();

} // namespace

SecureTestServer::SecureTestServer(Kind kind) : m_kind(kind) {}

SecureTestServer::~SecureTestServer() {
    stop();
}

bool SecureTestServer::start(const QString& certName) {
    stop();
    m_error.clear();
    m_skipReason.clear();
    m_base =
        std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/harlune-sec-XXXXXX"));
    if (!m_base->isValid() || !QDir().mkpath(root() + QStringLiteral("/public_html")))
        return fail(QStringLiteral("cannot create a temporary folder"));

    if (m_kind == Kind::Sftp) {
        m_user = SshUser;
        const Launch launch = StartLauncher(
            QStringLiteral("sshd.sh"),
            QStringList{root(), m_user, m_password, m_sshMethods} + m_sftpFlags, StartTimeoutMs);
        if (launch.skipped)
            m_skipReason = launch.error;
        if (!launch.ok || !launch.values.contains(QStringLiteral("HOSTKEY")))
            return fail(launch.error);
        m_port = launch.values.value(QStringLiteral("PORT")).toUShort();
        m_sshdPid = launch.values.value(QStringLiteral("PID")).toLongLong();
        m_hostKey = launch.values.value(QStringLiteral("HOSTKEY"));
        return true;
    }

    m_user = QStringLiteral("harlune");
    if (!makeCertificates(certName))
        return false;
    QStringList arguments{ServerScript(QStringLiteral("ftpsserver.py")),
                          QStringLiteral("--root"),
                          root(),
                          QStringLiteral("--user"),
                          m_user,
                          QStringLiteral("--password"),
                          m_password,
                          QStringLiteral("--certfile"),
                          path(QStringLiteral("server.pem")),
                          QStringLiteral("--keyfile"),
                          path(QStringLiteral("server.key"))};
    if (m_kind == Kind::ImplicitTls)
        arguments << QStringLiteral("--implicit");
    const char* mode = m_kind == Kind::OfferedTls             ? "offered"
                       : m_kind == Kind::TlsBreaksAtHandshake ? "broken-handshake"
                       : m_kind == Kind::TlsBreaksOnData      ? "broken-data-tls"
                                                              : "required";
    arguments << QStringLiteral("--mode") << QLatin1String(mode) << QStringLiteral("--log")
              << path(QStringLiteral("commands.log"));
    QString error;
    m_port = StartPortPrinter(m_process, QStringLiteral("/usr/bin/python3"), arguments,
                              path(QStringLiteral("server.err")), StartTimeoutMs, &error);
    return m_port != 0 || fail(error);
}

bool SecureTestServer::makeCertificates(const QString& certName) {
    const QString error = MakeTestCertificates(m_base->path(), certName);
    return error.isEmpty() || fail(error);
}

void SecureTestServer::stop() {
    StopProcess(m_process);
    if (m_sshdPid > 0) {
        StopLauncher(QStringLiteral("sshd.sh"), m_sshdPid);
        m_sshdPid = 0;
    }
    m_port = 0;
}

QString SecureTestServer::root() const {
    return path(QStringLiteral("home"));
}
QString SecureTestServer::caFile() const {
    return path(QStringLiteral("ca.pem"));
}
QString SecureTestServer::hostKeyLine() const {
    return m_hostKey;
}

QString SecureTestServer::knownHostsLine() const {
    return QStringLiteral("[127.0.0.1]:%1 %2").arg(m_port).arg(m_hostKey);
}

bool SecureTestServer::authorizeKey(const QString& publicKeyFile) const {
    const QByteArray key = ReadTextFile(publicKeyFile).toUtf8();
    QFile keys(path(QStringLiteral("authorized_keys")));
    return !key.isEmpty() && keys.open(QIODevice::Append) && keys.write(key) == key.size();
}

QString SecureTestServer::serverLog() const {
    return ReadTextFile(path(QStringLiteral("sshd.log")));
}

QStringList SecureTestServer::commands() const {
    return ReadTextFile(path(QStringLiteral("commands.log"))).split(u'\n', Qt::SkipEmptyParts);
}

QStringList SecureTestServer::entries(const QString& relDir) const {
    return EntriesIn(root(), relDir);
}

QByteArray SecureTestServer::remoteBytes(const QString& relPath) const {
    return BytesIn(root(), relPath);
}

bool SecureTestServer::writeRemote(const QString& relPath, const QByteArray& bytes) const {
    // SFTP sessions run as the user, who must be able to replace the file.
    return WriteIn(root(), relPath, bytes, m_kind == Kind::Sftp ? SshUser : QString());
}

bool SecureTestServer::fail(const QString& error) {
    m_error = error;
    return false;
}

QString SecureTestServer::path(const QString& name) const {
    return m_base ? m_base->filePath(name) : QString();
}
