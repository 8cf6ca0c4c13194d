#pragma once

#include "AskPass.h"
#include "ProtocolTrace.h"
#include "PublishJob.h"
#include "SftpFailure.h"
#include "SshConnection.h"

#include <QByteArray>
#include <QList>
#include <QStringList>

#include <atomic>
#include <memory>

// What ssh's last words say of why it ended.
struct SshVerdict {
    SshFailure failure = SshFailure::SessionFailed;
    QByteArray line; // the line that says it
    int osErrno = 0;
    // sshd ran out of tries before the password got one
    bool tooManyFailures = false;
};

// Reads ssh's standard error, its debug lines passed over. Text alone
// decides, so that ssh's own messages are tested without an ssh.
SshVerdict ReadSshErrors(const QList<QByteArray>& lines);

// Hooks the abort flag to ssh, and ssh's lines and the SFTP client's to the
// trace: for a connection logged in now, or held from an earlier publish.
void AttachSsh(SshConnection& connection, const ProtocolTrace& trace,
               const std::atomic<bool>& abort);

// The log-in of an SFTP session through the system's own OpenSSH client:
// ssh logs in as the user's `ssh` would (config, agent, keys, known_hosts),
// the typed password going to it only through AskPassServer, and only for
// the account ssh's own configuration names.
class SshLogIn {
public:
    SshLogIn(const PublishJob& job, const std::atomic<bool>& abort, const ProtocolTrace& trace,
             PublishReport& report);

    // Starts ssh on `connection` and waits for its SFTP channel. 0 once
    // logged in, else the response code, with ssh's account noted in the
    // report.
    qint32 run(SshConnection& connection);

private:
    SshProcess& ssh() { return connection_->ssh(); }
    // "user@host" as ssh's password prompt names it.
    QByteArray promptAccount(const QStringList& args);
    bool tryLogin(bool passwordAlone);
    qint32 failed();
    qint32 fail(SshFailure failure);

    const PublishJob& job_;
    const std::atomic<bool>& abort_;
    const ProtocolTrace& trace_;
    PublishReport& report_;
    SshConnection* connection_ = nullptr;
    std::unique_ptr<AskPassServer> askPass_;
    qint32 failure_ = 0;
};
