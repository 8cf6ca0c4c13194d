#include "SshAccount.h"

#include "ServerLauncher.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

namespace {

bool writeFile(const QString& path, const QString& text, QIODevice::OpenMode mode) {
    const QByteArray bytes = text.toUtf8();
    QFile file(path);
    return file.open(mode) && file.write(bytes) == bytes.size();
}

} // namespace

SshAccount::SshAccount() : home_(QDir::tempPath() + QStringLiteral("/harlune-home-XXXXXX")) {
    QDir(home_.path()).mkpath(QStringLiteral(".ssh"));
    qputenv("HOME", QFile::encodeName(home_.path()));
    qunsetenv("SSH_AUTH_SOCK");
}

SshAccount::~SshAccount() {
    if (socket_.isEmpty())
        return;
    StopProcess(agent_);
    qunsetenv("SSH_AUTH_SOCK");
}

QString SshAccount::file(const QString& name) const {
    return home_.filePath(QStringLiteral(".ssh/") + name);
}

bool SshAccount::setKnownHosts(const QString& lines) const {
    return writeFile(file(QStringLiteral("known_hosts")), lines,
                     QIODevice::WriteOnly | QIODevice::Truncate);
}

bool SshAccount::addKnownHost(const QString& line) const {
    return writeFile(file(QStringLiteral("known_hosts")), line, QIODevice::Append);
}

QString SshAccount::strangerLine(quint16 port) const {
    const QString key = home_.filePath(QStringLiteral("stranger_key"));
    if (!MakeSshKey(key, QStringLiteral("ecdsa")))
        return {};
    const QStringList fields = ReadTextFile(key + QStringLiteral(".pub")).split(u' ');
    return QStringLiteral("[127.0.0.1]:%1 %2 %3\n").arg(port).arg(fields.value(0), fields.value(1));
}

bool SshAccount::setConfig(const QString& text) const {
    return writeFile(file(QStringLiteral("config")), text,
                     QIODevice::WriteOnly | QIODevice::Truncate);
}

bool SshAccount::startAgent() {
    socket_ = home_.filePath(QStringLiteral("agent.sock"));
    DieWithParent(agent_);
    agent_.start(QStringLiteral("ssh-agent"),
                 {QStringLiteral("-D"), QStringLiteral("-a"), socket_});
    for (int i = 0; i < 50 && !QFileInfo::exists(socket_); ++i)
        QThread::msleep(100);
    qputenv("SSH_AUTH_SOCK", QFile::encodeName(socket_));
    return QFileInfo::exists(socket_);
}

bool SshAccount::addToAgent(const QString& keyFile) const {
    QProcess add;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("SSH_AUTH_SOCK"), socket_);
    add.setProcessEnvironment(env);
    add.start(QStringLiteral("ssh-add"), {QStringLiteral("-q"), keyFile});
    return add.waitForFinished() && add.exitStatus() == QProcess::NormalExit && add.exitCode() == 0;
}

bool MakeSshKey(const QString& path, const QString& type, const QString& passphrase,
                const QStringList& format) {
    QFile::remove(path);
    QFile::remove(path + QStringLiteral(".pub"));
    QStringList args{QStringLiteral("-q")};
    if (!type.isEmpty())
        args << QStringLiteral("-t") << type;
    args << QStringLiteral("-N") << passphrase << QStringLiteral("-f") << path
         << QStringLiteral("-C") << QStringLiteral("test");
    return QProcess::execute(QStringLiteral("ssh-keygen"), args + format) == 0;
}
