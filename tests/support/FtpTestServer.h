#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

class QTemporaryDir;

// A throwaway FTP server on loopback for tests: pyftpdlib (with modes that
// misbehave on purpose) or the system's vsftpd (needs root). Each start()
// serves a fresh login directory holding an empty "public_html/".
class FtpTestServer {
public:
    enum class Kind { Pyftpdlib, Vsftpd };

    struct Options {
        // pyftpdlib only: normal, no-rename, no-overwrite, no-size, no-dot-names (refuses
        // to create names beginning with a dot), no-new-files (writes existing files
        // only), only-plain-names (no dot names, nothing ending ".part"), drop-mid-data,
        // drop-after-data, drop-at-login, drop-before-rename, stall-reply, stall-data,
        // no-banner.
        QString mode = QStringLiteral("normal");
        QString host = QStringLiteral("127.0.0.1"); // or "::1" (pyftpdlib)
        QString user = QStringLiteral("harlune");   // vsftpd always uses "harluneftp"
        QString password = QStringLiteral("s3cret");
        qint64 dropAfter = 0; // bytes, for drop-mid-data and stall-data
        qint64 throttle = 0;  // upload bytes per second, 0 = unlimited
        // pyftpdlib: data connections on passivePorts ports from
        // firstPassivePort on (on an ephemeral one while all are taken);
        // 0: on any ephemeral port.
        quint16 firstPassivePort = 0;
        int passivePorts = 0;
    };

    explicit FtpTestServer(Kind kind = Kind::Pyftpdlib);
    ~FtpTestServer();
    FtpTestServer(const FtpTestServer&) = delete;
    FtpTestServer& operator=(const FtpTestServer&) = delete;

    // False with errorString() set. For vsftpd where it cannot run (not root,
    // not installed) also skipReason() is set: see SKIP_FOR_SERVER.
    bool start();
    bool start(const Options& options);
    void stop();
    bool isRunning() const;

    QString errorString() const { return m_error; }
    QString skipReason() const { return m_skipReason; }

    quint16 port() const { return m_port; }
    QString host() const { return m_host; }
    QString hostPort() const; // "127.0.0.1:2121" or "[::1]:2121"
    QString root() const;     // login directory on disk
    QString user() const { return m_user; }
    QString password() const { return m_password; }

    // Command lines in the order received, with "CONNECT" and "DISCONNECT" for
    // the control connections. vsftpd: no DISCONNECT, and PASS reads "PASS <password>".
    QStringList commands() const;
    // Names in root()/relDir, sorted, hidden ones included; empty if no such folder.
    QStringList entries(const QString& relDir) const;
    // Contents of root()/relPath, empty if missing.
    QByteArray remoteBytes(const QString& relPath) const;
    // Seeds root()/relPath as if uploaded earlier (owned by the FTP user for vsftpd).
    bool writeRemote(const QString& relPath, const QByteArray& bytes) const;

private:
    bool startPyftpdlib(const Options& options);
    bool startVsftpd(const Options& options);
    bool fail(const QString& error);
    QString basePath(const QString& name) const;

    Kind m_kind;
    std::unique_ptr<QTemporaryDir> m_base; // holds root, logs and config
    QProcess m_process;                    // pyftpdlib server
    qint64 m_vsftpdPid = 0;
    quint16 m_port = 0;
    QString m_host;
    QString m_user;
    QString m_password;
    QString m_error;
    QString m_skipReason;
};
