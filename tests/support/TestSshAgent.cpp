#include "TestSshAgent.h"

#include "ServerLauncher.h"

#include <QFile>
#include <QFileInfo>
#include <QThread>

TestSshAgent::~TestSshAgent() {
    StopProcess(process_);
}

bool TestSshAgent::start() {
    socket_ = dir_.filePath(QStringLiteral("agent.sock"));
    DieWithParent(process_);
    process_.start(QStringLiteral("ssh-agent"),
                   {QStringLiteral("-D"), QStringLiteral("-a"), socket_});
    for (int i = 0; i < 50 && !QFileInfo::exists(socket_); ++i)
        QThread::msleep(100);
    return QFileInfo::exists(socket_);
}

bool TestSshAgent::add(const QString& keyFile) {
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
