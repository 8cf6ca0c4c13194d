#include "SftpFailureWords.h"

#include "SftpFailure.h"

#include <QFileInfo>

namespace {

QString hostKey(const SftpFailure& failure, const FailureWords& w) {
    const QString file = FailureWords::quoted(failure.knownHosts);
    if (failure.why == SshFailure::HostKeyChanged)
        return QStringLiteral("host key changed: the server's key differs from the one "
                              "recorded for it in %1")
            .arg(file);
    if (!QFileInfo::exists(failure.knownHosts))
        return QStringLiteral("host key unknown: %1 does not exist").arg(file);
    return QStringLiteral("host key unknown: %1 holds no key for %2").arg(file, w.where());
}

} // namespace

QString SftpFailureWords(qint32 code, const FailureWords& w) {
    const SftpFailure* failure = SftpFailureOf(w.report().engine);
    if (code <= ResponseCodes::SshBase || !failure || failure->why == SshFailure::None)
        return {};
    const PublishJob& job = w.job();
    switch (failure->why) {
    case SshFailure::None:
    case SshFailure::SessionFailed:
        break;
    case SshFailure::CannotStart:
        return QStringLiteral("the SSH session could not be started");
    case SshFailure::HostNotFound:
        return w.hostNotFound();
    case SshFailure::CannotConnect:
        return w.cannotConnect();
    case SshFailure::ConnectTimedOut:
        return w.connectTimedOut();
    case SshFailure::LoginDenied:
        return w.loginRefused();
    case SshFailure::HostKeyUnknown:
    case SshFailure::HostKeyChanged:
        return hostKey(*failure, w);
    case SshFailure::NoReply:
        return w.noReply();
    case SshFailure::Stalled:
        return w.stalled();
    case SshFailure::ConnectionLost:
    case SshFailure::Garbled:
        return w.connectionLost();
    case SshFailure::Refused:
    case SshFailure::NoSuchFile:
        return w.refused();
    case SshFailure::UnsafeUser:
        return QStringLiteral("the user name %1 holds a character that a shell reads as its "
                              "own (such as ; | $ ` or a space); nothing was sent")
            .arg(FailureWords::quoted(job.userName));
    case SshFailure::PasswordWithheld:
        return QStringLiteral("ssh asked for the password of another host or account than "
                              "the one typed (a ProxyJump or ProxyCommand host in the SSH "
                              "configuration?); the password typed goes only to %1, and "
                              "was not given")
            .arg(FailureWords::quoted(job.endpoint.host));
    }
    return QStringLiteral("the SSH session failed");
}

QString SftpSaid(const FailureWords& w) {
    const PublishReport& r = w.report();
    QString text;
    // An SFTP status has no number: its name and message are the reply.
    if (!r.serverReply.isEmpty() && r.replyCode == 0 &&
        w.job().endpoint.transport == Transport::Sftp)
        text += QStringLiteral("; the server said ") + w.masked(r.serverReply);
    if (const SftpFailure* failure = SftpFailureOf(r.engine);
        failure && !failure->sshSaid.isEmpty())
        text += QStringLiteral("; ssh said ") + w.masked(failure->sshSaid);
    return text;
}
