#include "SecureTestServer.h"

#include "ServerLauncher.h"
#include "TestCertificates.h"

#include <QDir>
#include <QFile>

bool SecureTestServer::start(const QString& certName) {
    stop();
    ServerConfig config;
    if (m_kind == Kind::Sftp) {
        config = MakeServerConfig(QStringLiteral("OpenSSH"), {}, QStringLiteral("sshd.sh"),
                                  QStringList{m_sshMethods} + m_sftpFlags);
    } else {
        m_certs = std::make_unique<QTemporaryDir>(QDir::tempPath() +
                                                  QStringLiteral("/harlune-certs-XXXXXX"));
        if (const QString error = MakeTestCertificates(m_certs->path(), certName); !error.isEmpty())
            return started(error);
        const char* mode = m_kind == Kind::OfferedTls             ? "offered"
                           : m_kind == Kind::TlsBreaksAtHandshake ? "broken-handshake"
                           : m_kind == Kind::TlsBreaksOnData      ? "broken-data-tls"
                                                                  : "required";
        QStringList flags{QStringLiteral("--mode"), QLatin1String(mode)};
        if (m_kind == Kind::ImplicitTls)
            flags << QStringLiteral("--implicit");
        config = MakeServerConfig(QStringLiteral("pyftpdlib"), {}, QStringLiteral("ftpsserver.py"),
                                  flags);
    }
    config.password = m_password;
    return started(TestServer::start(config, m_certs ? m_certs->path() : QString()));
}

QString SecureTestServer::caFile() const {
    return m_certs ? m_certs->filePath(QStringLiteral("ca.pem")) : QString();
}

bool SecureTestServer::authorizeKey(const QString& publicKeyFile) const {
    const QByteArray key = ReadTextFile(publicKeyFile).toUtf8();
    QFile keys(file(QStringLiteral("authorized_keys")));
    return !key.isEmpty() && keys.open(QIODevice::Append) && keys.write(key) == key.size();
}

QString SecureTestServer::serverLog() const {
    return ReadTextFile(logInLog());
}

QStringList SecureTestServer::commands() const {
    return ReadTextFile(commandLog()).split(u'\n', Qt::SkipEmptyParts);
}
