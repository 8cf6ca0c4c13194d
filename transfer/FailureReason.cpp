#include "FailureReason.h"

#include "FailureWords.h"
#include "LogText.h"
#include "ResponseCodes.h"

#include <QFileInfo>

#include <cstring>

QString FailureWords::quoted(const QString& text) {
    return u'"' + LogText(text) + u'"';
}

QString FailureWords::systemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

QString FailureWords::masked(const QByteArray& text) const {
    return LogText(MaskSecret(text, job.password.toUtf8()));
}

QString FailureWords::where() const {
    return QStringLiteral("%1 port %2").arg(quoted(job.endpoint.host)).arg(job.endpoint.port);
}

QString FailureWords::hostNotFound() const {
    return QStringLiteral("could not connect: the host name %1 was not found")
        .arg(quoted(job.endpoint.host));
}

QString FailureWords::cannotConnect() const {
    return QStringLiteral("could not connect to %1: %2")
        .arg(where(),
             r.osErrno ? systemError(r.osErrno) : QStringLiteral("no connection could be made"));
}

QString FailureWords::connectTimedOut() const {
    return QStringLiteral("could not connect to %1: no answer for %2 s")
        .arg(where())
        .arg(double(job.timeouts.connect.count()) / 1000.0);
}

QString FailureWords::noReply() const {
    return QStringLiteral("no answer from the server for %1 s")
        .arg(job.timeouts.serverReply.count());
}

QString FailureWords::stalled() const {
    return QStringLiteral("the transfer stalled: no data moved for %1 s")
        .arg(job.timeouts.stall.count());
}

QString FailureWords::loginRefused() const {
    return QStringLiteral("log-in refused for user %1").arg(quoted(job.userName));
}

QString FailureWords::connectionLost() const {
    return QStringLiteral("the connection to the server was lost");
}

QString FailureWords::aborted() const {
    return QStringLiteral("ended before it finished, as the program was closing");
}

bool FailureWords::storing() const {
    return r.action.startsWith("STOR ") || r.action.startsWith("WRITE ");
}

QString FailureWords::refusedAction() const {
    return QStringLiteral("the server refused %1").arg(quoted(QString::fromUtf8(r.action)));
}

QString FailureWords::remoteFolder() const {
    const QString folder = QFileInfo(job.remoteFileName).path();
    return folder == QLatin1String(".") ? QStringLiteral("the log-in folder") : quoted(folder);
}

QString FailureWords::refused() const {
    if (storing())
        return QStringLiteral("the server refused to store the file: the remote folder %1 "
                              "does not exist or cannot be written")
            .arg(remoteFolder());
    return refusedAction();
}

namespace {

class Words : FailureWords {
public:
    using FailureWords::FailureWords;

    QString forCode(qint32 code) const {
        using namespace ResponseCodes;
        switch (code) {
        case Ok:
            return {};
        case NoOperation:
            return QStringLiteral("no upload was started");
        case Running:
            return QStringLiteral("the upload has not finished");
        case UnsafeText:
            return QStringLiteral("the host, user name, password or a path holds a line break or "
                                  "NUL; nothing was sent");
        case BadOperation:
        case LocalFileUnreadable:
            return QStringLiteral("the local file %1 is missing or unreadable: %2")
                .arg(quoted(job.localFileName), localError());
        case SizeMismatch:
            return QStringLiteral("the server kept %1 bytes where %2 were sent; the copy "
                                  "published before stays")
                .arg(r.storedSize)
                .arg(r.sentSize);
        case Aborted:
            return aborted();
        case BadHost:
            return QStringLiteral("%1 is not a host name the program can use")
                .arg(quoted(job.endpoint.host));
        case Busy:
            return QStringLiteral("another upload was still running on the same component");
        case LocalFileChanged:
            return QStringLiteral("the local file %1 changed while it was sent; the copy "
                                  "published before stays, and the next upload sends the "
                                  "finished file")
                .arg(quoted(job.localFileName));
        case TlsDowngrade:
            // Only a bare host, which is FTP's, is held to TLS.
            return FtpDowngradeWhy(*this) + QStringLiteral("; nothing was sent in clear text");
        case NotAFile:
            return QStringLiteral("%1 on the server is a folder or another kind of file than a "
                                  "list can replace; nothing was changed")
                .arg(quoted(job.remoteFileName));
        case LinkLoop:
            return QStringLiteral("%1 on the server is a link that leads round in a loop, or "
                                  "through too many links; nothing was changed")
                .arg(quoted(job.remoteFileName));
        case NoSession:
            return QStringLiteral("no connection could be set up: the system is out of "
                                  "resources");
        default:
            if (code > SshBase && r.sshFailure != SshFailure::None)
                return forSsh() + details();
            if (const QString why = FtpFailureWhy(*this); !why.isEmpty())
                return why + details();
            // A code nothing was noted for still reads as a failure.
            return QStringLiteral("failed with response code %1").arg(code) + details();
        }
    }

private:
    QString localError() const {
        if (r.localErrno < 0)
            return QStringLiteral("not a regular file");
        return r.localErrno > 0 ? systemError(r.localErrno) : QStringLiteral("unknown reason");
    }

    QString hostKey() const {
        const QString file = quoted(r.knownHosts);
        if (r.sshFailure == SshFailure::HostKeyChanged)
            return QStringLiteral("host key changed: the server's key differs from the one "
                                  "recorded for it in %1")
                .arg(file);
        if (!QFileInfo::exists(r.knownHosts))
            return QStringLiteral("host key unknown: %1 does not exist").arg(file);
        return QStringLiteral("host key unknown: %1 holds no key for %2").arg(file, where());
    }

    QString forSsh() const {
        switch (r.sshFailure) {
        case SshFailure::None:
        case SshFailure::SessionFailed:
            break;
        case SshFailure::CannotStart:
            return QStringLiteral("the SSH session could not be started");
        case SshFailure::HostNotFound:
            return hostNotFound();
        case SshFailure::CannotConnect:
            return cannotConnect();
        case SshFailure::ConnectTimedOut:
            return connectTimedOut();
        case SshFailure::LoginDenied:
            return loginRefused();
        case SshFailure::HostKeyUnknown:
        case SshFailure::HostKeyChanged:
            return hostKey();
        case SshFailure::NoReply:
            return noReply();
        case SshFailure::Stalled:
            return stalled();
        case SshFailure::ConnectionLost:
        case SshFailure::Garbled:
            return connectionLost();
        case SshFailure::Refused:
        case SshFailure::NoSuchFile:
            return refused();
        case SshFailure::UnsafeUser:
            return QStringLiteral("the user name %1 holds a character that a shell reads as its "
                                  "own (such as ; | $ ` or a space); nothing was sent")
                .arg(quoted(job.userName));
        case SshFailure::PasswordWithheld:
            return QStringLiteral("ssh asked for the password of another host or account than "
                                  "the one typed (a ProxyJump or ProxyCommand host in the SSH "
                                  "configuration?); the password typed goes only to %1, and "
                                  "was not given")
                .arg(quoted(job.endpoint.host));
        }
        return QStringLiteral("the SSH session failed");
    }

    bool sftp() const { return job.endpoint.transport == Transport::Sftp; }

    // The server's reply and the engine's own account, where they add
    // something.
    QString details() const {
        QString text;
        if (r.replyCode >= 400 && !r.serverReply.isEmpty())
            text += QStringLiteral("; the server said ") + quoted(serverSaid());
        text += FtpFailureDetail(*this);
        if (!r.serverReply.isEmpty() && r.replyCode == 0 && sftp())
            text += QStringLiteral("; the server said ") + quoted(serverSaid());
        if (!r.sshSaid.isEmpty())
            text += QStringLiteral("; ssh said ") +
                    quoted(QString::fromUtf8(MaskSecret(r.sshSaid, job.password.toUtf8())));
        return text;
    }

    QString serverSaid() const {
        return QString::fromUtf8(MaskSecret(r.serverReply, job.password.toUtf8()));
    }
};

} // namespace

QString FailureReason(qint32 code, const PublishReport& report, const PublishJob& job) {
    return Words(report, job).forCode(code);
}
