#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>

class QTemporaryDir;

// proftpd or pure-ftpd on 127.0.0.1, run from Debian's packages unpacked into
// a scratch folder (tests/servers/packaged-ftpd.sh). Needs root; each start()
// serves a fresh login directory holding an empty "public_html/".
class PackagedFtpServer {
public:
    enum class Kind { Proftpd, PureFtpd };

    explicit PackagedFtpServer(Kind kind);
    ~PackagedFtpServer();
    PackagedFtpServer(const PackagedFtpServer&) = delete;
    PackagedFtpServer& operator=(const PackagedFtpServer&) = delete;

    // False with errorString() set; where the server cannot run here also
    // skipReason() is set: see SKIP_FOR_SERVER.
    bool start();
    void stop();

    QString errorString() const { return m_error; }
    QString skipReason() const { return m_skipReason; }

    QString hostPort() const { return QStringLiteral("127.0.0.1:") + QString::number(m_port); }
    QString root() const;
    QString user() const { return QStringLiteral("harlune"); }
    QString password() const { return QStringLiteral("s3cret"); }

    QStringList entries(const QString& relDir) const;
    QByteArray remoteBytes(const QString& relPath) const;
    // Seeds root()/relPath as if uploaded earlier, owned by the session user.
    bool writeRemote(const QString& relPath, const QByteArray& bytes) const;

private:
    bool fail(const QString& error);

    Kind m_kind;
    std::unique_ptr<QTemporaryDir> m_base;
    qint64 m_pid = 0;
    quint16 m_port = 0;
    QString m_error;
    QString m_skipReason;
};
