#include "ServerLauncher.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <csignal>
#include <pwd.h>
#include <sys/prctl.h>
#include <unistd.h>

void DieWithParent(QProcess& process) {
    const pid_t parent = getpid();
    process.setChildProcessModifier([parent] {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(1);
    });
}

QString TestSystemUser() {
    const QString user = qEnvironmentVariable("HARLUNE_TEST_SYSTEM_USER");
    return user.isEmpty() ? QStringLiteral("harluneftp") : user;
}

QString ServerScript(const QString& name) {
    return QStringLiteral(HARLUNE_TEST_SERVERS_DIR "/") + name;
}

Launch StartLauncher(const QString& script, const QStringList& arguments, int timeoutMs,
                     const QStringList& environment) {
    Launch launch;
    QProcess process;
    DieWithParent(process);
    if (!environment.isEmpty()) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString& entry : environment)
            env.insert(entry.section(u'=', 0, 0), entry.section(u'=', 1));
        process.setProcessEnvironment(env);
    }
    process.start(QStringLiteral("bash"),
                  QStringList{ServerScript(script), QStringLiteral("start")} + arguments);
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        launch.error = script + QStringLiteral(" start did not finish in time");
        return launch;
    }
    const QString err = QString::fromUtf8(process.readAllStandardError()).trimmed();
    const bool normal = process.exitStatus() == QProcess::NormalExit;
    if (normal && process.exitCode() == 77) {
        launch.skipped = true;
        launch.error = err.isEmpty() ? script + QStringLiteral(" cannot run here") : err;
        return launch;
    }
    const QString out = QString::fromUtf8(process.readAllStandardOutput());
    for (const QString& line : out.split(u'\n', Qt::SkipEmptyParts))
        launch.values.insert(line.section(u' ', 0, 0), line.section(u' ', 1).trimmed());
    if (!normal || process.exitCode() != 0 || !launch.values.contains(QStringLiteral("PORT")) ||
        !launch.values.contains(QStringLiteral("PID"))) {
        launch.error = script + QStringLiteral(" start failed: ") + out + err;
        return launch;
    }
    launch.ok = true;
    return launch;
}

void StopLauncher(const QString& script, qint64 pid) {
    QProcess process;
    process.start(QStringLiteral("bash"),
                  {ServerScript(script), QStringLiteral("stop"), QString::number(pid)});
    if (!process.waitForFinished(10'000))
        process.kill();
    process.waitForFinished();
}

quint16 StartPortPrinter(QProcess& process, const QString& program, const QStringList& arguments,
                         const QString& errorFile, int timeoutMs, QString* error) {
    // A file, not a pipe: a chatty server must never block on a full pipe.
    process.setStandardErrorFile(errorFile);
    DieWithParent(process);
    process.start(program, arguments);
    if (!process.waitForStarted(timeoutMs)) {
        *error =
            QStringLiteral("cannot run ") + program + QStringLiteral(": ") + process.errorString();
        return 0;
    }
    const QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        if (process.canReadLine()) {
            const QString line = QString::fromUtf8(process.readLine()).trimmed();
            if (line.startsWith(QStringLiteral("PORT ")))
                return line.mid(5).toUShort();
            continue;
        }
        if (process.state() == QProcess::NotRunning)
            break;
        process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
    }
    const bool exited = process.state() == QProcess::NotRunning;
    *error = QStringLiteral("%1 %2: %3")
                 .arg(QFileInfo(arguments.value(0, program)).fileName(),
                      exited ? QStringLiteral("exited")
                             : QStringLiteral("did not report a port in time"),
                      ReadTextFile(errorFile).trimmed());
    return 0;
}

void StopProcess(QProcess& process) {
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(2000)) {
        process.kill();
        process.waitForFinished();
    }
}

QString ReadTextFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QStringList EntriesIn(const QString& root, const QString& relDir) {
    QStringList names =
        QDir(root + u'/' + relDir)
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                       QDir::Unsorted);
    names.sort();
    return names;
}

QByteArray BytesIn(const QString& root, const QString& relPath) {
    QFile file(root + u'/' + relPath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool WriteIn(const QString& root, const QString& relPath, const QByteArray& bytes,
             const QString& owner) {
    const QString path = root + u'/' + relPath;
    QFile file(path);
    if (!QDir().mkpath(QFileInfo(path).path()) ||
        !file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        return false;
    file.close();
    if (owner.isEmpty())
        return true;
    const passwd* account = getpwnam(owner.toLocal8Bit().constData());
    return account &&
           chown(QFile::encodeName(path).constData(), account->pw_uid, account->pw_gid) == 0;
}
