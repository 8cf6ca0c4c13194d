#pragma once

#include "TestServer.h"

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// A throwaway FTP-over-TLS server (pyftpdlib, explicit or implicit TLS) or
// SFTP server (OpenSSH's sshd, needs root) on loopback. TLS servers present
// a certificate, made at start, for `certName`, signed by a test authority
// whose certificate is caFile(). Each start() serves a fresh login
// directory holding an empty "public_html/".
class SecureTestServer : public TestServer {
public:
    enum class Kind {
        ExplicitTls, // AUTH TLS, required on the control and data connections
        ImplicitTls,
        Sftp,
        OfferedTls,           // TLS when asked for, plain FTP otherwise
        TlsBreaksAtHandshake, // agrees to AUTH TLS, then answers in clear text
        TlsBreaksOnData,      // agrees to PROT P, then drops the data handshake
    };

    explicit SecureTestServer(Kind kind) : m_kind(kind) {}

    // False with errorString() set, and skipReason() where it cannot run.
    bool start(const QString& certName = QStringLiteral("localhost"));

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

    // The password the next start() gives the user.
    void setPassword(const QString& password) { m_password = password; }
    QString caFile() const; // TLS: the test authority's certificate

    // FTP over TLS: the commands received, each after "TLS " or "CLEAR " for
    // how it travelled.
    QStringList commands() const;

private:
    Kind m_kind;
    std::unique_ptr<QTemporaryDir> m_certs;
    QString m_password = QStringLiteral("s3cret");
    QString m_sshMethods = QStringLiteral("password");
    QStringList m_sftpFlags;
};
