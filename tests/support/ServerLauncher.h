#pragma once

#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>

// What the test servers share: starting and stopping them, and looking into
// the login directory they serve.

// The server must not outlive a test that crashes before its destructor runs.
void DieWithParent(QProcess& process);

// Runs "bash tests/servers/<script> start <arguments>" to its end. The script
// prints "KEY value" lines (PORT, PID, ...) and exits 77 where the server
// cannot run here.
struct Launch {
    bool ok = false;
    bool skipped = false;
    QString error; // on a skip, the reason
    QMap<QString, QString> values;
};
// `environment` adds "NAME=value" entries to the launcher's environment.
Launch StartLauncher(const QString& script, const QStringList& arguments, int timeoutMs,
                     const QStringList& environment = {});
void StopLauncher(const QString& script, qint64 pid);

// Starts a server program that prints "PORT <n>" once it listens, its
// standard error going to `errorFile`. Returns the port, or 0 with `error`.
quint16 StartPortPrinter(QProcess& process, const QString& program, const QStringList& arguments,
                         const QString& errorFile, int timeoutMs, QString* error);

// SIGTERM, then SIGKILL after 2 s.
void StopProcess(QProcess& process);

// The throwaway system account that vsftpd and sshd log in:
// $HARLUNE_TEST_SYSTEM_USER, or "harluneftp". Two test runs side by side on
// one machine each need their own.
QString TestSystemUser();

// Path of a script in tests/servers/.
QString ServerScript(const QString& name);

QString ReadTextFile(const QString& path);

// The login directory as a test sees it: names sorted, hidden ones included.
QStringList EntriesIn(const QString& root, const QString& relDir);
QByteArray BytesIn(const QString& root, const QString& relPath);
// Seeds root/relPath as if uploaded earlier; owned by `owner` where given,
// so that the server's session can replace it.
bool WriteIn(const QString& root, const QString& relPath, const QByteArray& bytes,
             const QString& owner = {});
