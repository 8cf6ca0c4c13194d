#include "SecureTestServer.h"

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

constexpr int StartTimeoutMs = 15000;
const QString SshUser = QStringLiteral("harluneftp");

QString serversDir() {
    return QStringLiteral(HARLUNE_TEST_SERVERS_DIR);
}

void dieWithParent(QProcess& process) {
    const pid_t parent = getpid();
    process.setChildProcessModifier([parent] {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(1);
    });
}

// Runs a short command to its end; empty on success, else what went wrong.
QString run(const QString& program, const QStringList& arguments, QByteArray* out = nullptr) {
    QProcess process;
    dieWithParent(process);
    process.start(program, arguments);
    if (!process.waitForFinished(StartTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        return program + QStringLiteral(" did not finish");
    }
    if (out)
        *out = process.readAllStandardOutput();
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return program + QStringLiteral(" failed (%1): ").arg(process.exitCode()) +
               QString::fromUtf8(process.readAllStandardError());
    return {};
}

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
        QProcess script;
        dieWithParent(script);
        script.start(QStringLiteral("bash"), {serversDir() + QStringLiteral("/sshd.sh"),
                                              QStringLiteral("start"), root(), m_user, m_password});
        if (!script.waitForFinished(StartTimeoutMs)) {
            script.kill();
            script.waitForFinished();
            return fail(QStringLiteral("sshd.sh start did not finish in time"));
        }
        const QString err = QString::fromUtf8(script.readAllStandardError()).trimmed();
        if (script.exitStatus() == QProcess::NormalExit && script.exitCode() == 77) {
            m_skipReason = err;
            return fail(err);
        }
        const QString out = QString::fromUtf8(script.readAllStandardOutput());
        static const QRegularExpression lines(
            QStringLiteral("^PORT (\\d+)\\nPID (\\d+)\\nHOSTKEY (.+)$"),
            QRegularExpression::MultilineOption);
        const auto match = lines.match(out);
        if (script.exitCode() != 0 || !match.hasMatch())
            return fail(QStringLiteral("sshd.sh start failed: ") + out + err);
        m_port = match.captured(1).toUShort();
        m_sshdPid = match.captured(2).toLongLong();
        m_hostKey = match.captured(3).trimmed();
        return true;
    }

    m_user = QStringLiteral("harlune");
    if (!makeCertificates(certName))
        return false;
    QStringList arguments{serversDir() + QStringLiteral("/ftpsserver.py"),
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
    m_process.setStandardErrorFile(path(QStringLiteral("server.err")));
    dieWithParent(m_process);
    m_process.start(QStringLiteral("/usr/bin/python3"), arguments);
    const QDeadlineTimer deadline(StartTimeoutMs);
    while (!deadline.hasExpired() && m_process.state() != QProcess::NotRunning) {
        if (m_process.canReadLine()) {
            const QString line = QString::fromUtf8(m_process.readLine()).trimmed();
            if (line.startsWith(QStringLiteral("PORT "))) {
                m_port = line.mid(5).toUShort();
                return true;
            }
            continue;
        }
        m_process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
    }
    QFile err(path(QStringLiteral("server.err")));
    err.open(QIODevice::ReadOnly);
    return fail(QStringLiteral("TLS server did not come up: ") + QString::fromUtf8(err.readAll()));
}

bool SecureTestServer::makeCertificates(const QString& certName) {
    // A test authority and a server certificate it signs, for certName.
    const QString openssl = QStringLiteral("openssl");
    const QStringList ec{QStringLiteral("-newkey"), QStringLiteral("ec"),
                         QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"),
                         QStringLiteral("-nodes")};
    QString error =
        run(openssl,
            QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + ec +
                QStringList{QStringLiteral("-keyout"), path("ca.key"), QStringLiteral("-out"),
                            caFile(), QStringLiteral("-days"), QStringLiteral("2"),
                            QStringLiteral("-subj"), QStringLiteral("/CN=Harlune Test Authority")});
    if (error.isEmpty())
        error = run(openssl,
                    QStringList{QStringLiteral("req")} + ec +
                        QStringList{QStringLiteral("-keyout"), path("server.key"),
                                    QStringLiteral("-out"), path("server.csr"),
                                    QStringLiteral("-subj"), QStringLiteral("/CN=") + certName});
    if (error.isEmpty()) {
        QFile ext(path("server.ext"));
        if (!ext.open(QIODevice::WriteOnly))
            return fail(QStringLiteral("cannot write server.ext"));
        ext.write("subjectAltName=DNS:" + certName.toUtf8() +
                  "\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n");
        ext.close();
        error = run(openssl,
                    {QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"),
                     path("server.csr"), QStringLiteral("-CA"), caFile(), QStringLiteral("-CAkey"),
                     path("ca.key"), QStringLiteral("-CAcreateserial"), QStringLiteral("-out"),
                     path("server.pem"), QStringLiteral("-days"), QStringLiteral("2"),
                     QStringLiteral("-extfile"), path("server.ext")});
    }
    return error.isEmpty() || fail(error);
}

void SecureTestServer::stop() {
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(2000)) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }
    if (m_sshdPid > 0) {
        run(QStringLiteral("bash"), {serversDir() + QStringLiteral("/sshd.sh"),
                                     QStringLiteral("stop"), QString::number(m_sshdPid)});
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

QStringList SecureTestServer::entries(const QString& relDir) const {
    QStringList names = QDir(root() + u'/' + relDir)
                            .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    names.sort();
    return names;
}

QByteArray SecureTestServer::remoteBytes(const QString& relPath) const {
    QFile file(root() + u'/' + relPath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool SecureTestServer::writeRemote(const QString& relPath, const QByteArray& bytes) const {
    const QString target = root() + u'/' + relPath;
    QFile file(target);
    if (!QDir().mkpath(QFileInfo(target).path()) || !file.open(QIODevice::WriteOnly) ||
        file.write(bytes) != bytes.size())
        return false;
    file.close();
    if (m_kind != Kind::Sftp)
        return true;
    // SFTP sessions run as the user, who must be able to replace the file.
    const passwd* account = getpwnam(SshUser.toLocal8Bit().constData());
    return account &&
           chown(QFile::encodeName(target).constData(), account->pw_uid, account->pw_gid) == 0;
}

bool SecureTestServer::fail(const QString& error) {
    m_error = error;
    return false;
}

QString SecureTestServer::path(const QString& name) const {
    return m_base ? m_base->filePath(name) : QString();
}
