#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

class QTemporaryDir;

// A throwaway FTP-over-TLS server (pyftpdlib, explicit or implicit TLS) or
// SFTP server (OpenSSH's sshd, needs root) on loopback. TLS servers present
// a certificate, made at start, for `certName`, signed by a test authority
// whose certificate is caFile(). Each start() serves a fresh login
// directory holding an empty "public_html/".
class SecureTestServer {
public:
    enum class Kind {
        ExplicitTls, // AUTH TLS, required on the control and data connections
        ImplicitTls,
        Sftp,
        OfferedTls,           // TLS when asked for, plain FTP otherwise
        TlsBreaksAtHandshake, // agrees to AUTH TLS, then answers in clear text
        TlsBreaksOnData,      // agrees to PROT P, then drops the data handshake
    };

    explicit SecureTestServer(Kind kind);
    ~SecureTestServer();
    SecureTestServer(const SecureTestServer&) = delete;
    SecureTestServer& operator=(const SecureTestServer&) = delete;

    bool start(const QString& certName = QStringLiteral("localhost"));
    void stop();

    // SFTP: the log-in methods sshd accepts from the next start on,
    // comma-separated: "password" (the default), "publickey" or both.
    void setSshMethods(const QString& methods) { m_sshMethods = methods; }
    // SFTP: options for internal-sftp from the next start on, such as
    // {"-P", "posix-rename@openssh.com"} to refuse a request.
    void setSftpFlags(const QStringList& flags) { m_sftpFlags = flags; }
    // SFTP, once started: lets the key whose ".pub" file is given log in.
    bool authorizeKey(const QString& publicKeyFile) const;
    // SFTP: what sshd logged so far.
    QString serverLog() const;

    QString errorString() const { return m_error; }
    QString skipReason() const { return m_skipReason; }
    quint16 port() const { return m_port; }
    QString user() const { return m_user; }
    QString password() const { return m_password; }
    // The password the next start() gives the user.
    void setPassword(const QString& password) { m_password = password; }
    QString root() const;
    QString caFile() const;      // TLS: the test authority's certificate
    QString hostKeyLine() const; // SFTP: "<type> <base64>" of the host key
    // A known_hosts line for this server, as OpenSSH writes one.
    QString knownHostsLine() const;

    // FTP over TLS: the commands received, each after "TLS " or "CLEAR " for
    // how it travelled.
    QStringList commands() const;

    QStringList entries(const QString& relDir) const;
    QByteArray remoteBytes(const QString& relPath) const;
    bool writeRemote(const QString& relPath, const QByteArray& bytes) const;

private:
    bool makeCertificates(const QString& certName);
    bool fail(const QString& error);
    QString path(const QString& name) const;

    Kind m_kind;
    std::unique_ptr<QTemporaryDir> m_base;
    QProcess m_process; // pyftpdlib, or the sshd launcher's output
    qint64 m_sshdPid = 0;
    quint16 m_port = 0;
    QString m_user;
    QString m_password = QStringLiteral("s3cret");
    QString m_hostKey;
    QString m_sshMethods = QStringLiteral("password");
    QStringList m_sftpFlags;
    QString m_error;
    QString m_skipReason;
};
