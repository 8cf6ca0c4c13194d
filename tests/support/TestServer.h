#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

class QTemporaryDir;

// How a server is run: its launcher and what the configuration adds.
struct ServerConfig {
    QString server;      // as the compatibility table names it
    QString setting;     // as the compatibility table names it
    // ftpserver.py/ftpsserver.py (pyftpdlib), vsftpd.sh, sshd.sh, or a server
    // of packaged-ftpd.sh (proftpd, pure-ftpd, inetutils-ftpd)
    QString launcher;
    QStringList options; // mode, configuration lines, flags: see each launcher
    // pyftpdlib: the account to serve; the others have their own.
    QString user = QStringLiteral("harlune");
    QString password = QStringLiteral("s3cret");
    bool rsa = false;    // TLS certificate with an RSA key instead of ECDSA
    QString tlsMax;      // "1.2": the server's OpenSSL offers nothing newer
    // The folder belongs to root: the session may overwrite the file there
    // (seeded before the first publish) and create nothing.
    bool lockedFolder = false;
    // Over FTP and FTPS the final file is there before the first publish,
    // owned by the session's account, with a mode no new file gets there;
    // each publish must keep mode, owner and group. The group: the
    // account's own where empty.
    quint32 seededMode = 0604;
    QString seededGroup;
    // A reader on the server's disk watches the final file while each
    // publish runs: it must never find it missing or other than seeded.
    bool watchedByReader = false;
};

ServerConfig MakeServerConfig(const QString& server, const QString& setting,
                              const QString& launcher, const QStringList& options = {},
                              bool rsa = false, const QString& tlsMax = {});

// A running server of one configuration, on 127.0.0.1, serving a login
// directory with an empty "public_html/". Every test server is started
// here, by the one launcher of its kind.
class TestServer {
public:
    TestServer();
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    // Empty once it listens; "SKIP <reason>" where it cannot run here, else
    // what went wrong. The certificate and key are certDir's server.pem and
    // server.key.
    QString start(const ServerConfig& config, const QString& certDir = {});
    // Stops it and starts it again on the same port, with the same login
    // directory and log.
    QString restart();
    // The same with other options, as the configuration's: a server whose
    // host changed its settings.
    QString restartWith(const QStringList& options);
    void stop();
    bool isRunning() const;

    QString root() const;
    // A file beside the login directory: the launcher's configuration and
    // logs, sshd's authorized_keys.
    QString file(const QString& name) const;
    QString user() const { return user_; }
    // The account the server's sessions write files as.
    QString sessionOwner() const { return sessionOwner_; }
    QString password() const { return config_.password; }
    quint16 port() const { return port_; }
    // The server's own process: the launchers stop it with its children.
    qint64 pid() const { return pid_; }
    // The known_hosts line for the server, reached as `name` on `port`
    // where given.
    QString knownHostsLine(quint16 port = 0,
                           const QString& name = QStringLiteral("127.0.0.1")) const {
        return QStringLiteral("[%1]:%2 %3\n").arg(name).arg(port ? port : port_).arg(hostKey_);
    }
    // The login directory as a test sees it: see EntriesIn, BytesIn and
    // WriteIn; a seeded file belongs to sessionOwner().
    QStringList entries(const QString& relDir) const;
    QByteArray remoteBytes(const QString& relPath) const;
    bool writeRemote(const QString& relPath, const QByteArray& bytes) const;
    // pyftpdlib: the commands it received, one a line.
    QString commandLog() const { return file(QStringLiteral("logs/commands.log")); }

    // The log where the server notes each log-in, as its launcher has it
    // write one (vsftpd, proftpd, sshd); empty for the others.
    QString logInLog() const;
    // Log-ins the server accepted and refused so far, from that log; -1
    // without one.
    int logIns() const;
    int refusedLogIns() const;

    // For the servers whose start() says true or false: what went wrong,
    // and where the server cannot run here, why (see SKIP_FOR_SERVER).
    QString errorString() const { return error_; }
    QString skipReason() const { return skipReason_; }

protected:
    // Notes what start() returned; true where it is empty: the server listens.
    bool started(const QString& outcome);

private:
    int countInLog(const QString& pattern) const;

    std::unique_ptr<QTemporaryDir> base_;
    ServerConfig config_;
    QString certDir_;
    QProcess process_;
    QString script_;
    qint64 pid_ = 0;
    quint16 port_ = 0;
    QString user_;
    QString hostKey_;
    QString sessionOwner_;
    QString error_;
    QString skipReason_;
};

// Sends `signal` to a process and every process it started.
void SignalProcessTree(qint64 pid, int signal);
