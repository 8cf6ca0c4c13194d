#include "FailureReason.h"

#include "FailureWords.h"
#include "FtpFailureWords.h"
#include "LogText.h"
#include "ResponseCodes.h"
#include "SftpFailureWords.h"

namespace {

class Words : public FailureWords {
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
                .arg(quoted(job_.localFileName), localError());
        case SizeMismatch:
            return QStringLiteral("the server kept %1 bytes where %2 were sent; the copy "
                                  "published before stays")
                .arg(r_.storedSize)
                .arg(r_.sentSize);
        case Aborted:
            return aborted();
        case BadHost:
            return QStringLiteral("%1 is not a host name the program can use")
                .arg(quoted(job_.endpoint.host));
        case Busy:
            return QStringLiteral("another upload was still running on the same component");
        case LocalFileChanged:
            return QStringLiteral("the local file %1 changed while it was sent; the copy "
                                  "published before stays, and the next upload sends the "
                                  "finished file")
                .arg(quoted(job_.localFileName));
        case TlsDowngrade:
            // Only a bare host, which is FTP's, is held to TLS.
            return FtpDowngradeWhy(*this) + QStringLiteral("; nothing was sent in clear text");
        case NotAFile:
            return QStringLiteral("%1 on the server is a folder or another kind of file than a "
                                  "list can replace; nothing was changed")
                .arg(quoted(job_.remoteFileName));
        case SymlinkLoop:
            return QStringLiteral("%1 on the server is a symlink that leads round in a loop, or "
                                  "through too many symlinks; nothing was changed")
                .arg(quoted(job_.remoteFileName));
        case NoSession:
            return QStringLiteral("no connection could be set up: the system is out of "
                                  "resources");
        default:
            if (const QString sftp = SftpFailureWords(code, *this); !sftp.isEmpty())
                return sftp + details();
            // A code nothing was noted for still reads as a failure.
            if (const QString why = FtpFailureWhy(*this); !why.isEmpty())
                return why + details();
            return QStringLiteral("failed with response code %1").arg(code) + details();
        }
    }

private:
    QString localError() const {
        if (r_.localErrno < 0)
            return QStringLiteral("not a regular file");
        return r_.localErrno > 0 ? systemError(r_.localErrno) : QStringLiteral("unknown reason");
    }

    // The server's reply and the engine's own account, where they add
    // something.
    QString details() const {
        const QByteArray secret = job_.password.toUtf8();
        QString text;
        if (r_.replyCode >= 400 && !r_.serverReply.isEmpty())
            text += QStringLiteral("; the server said ") +
                    quoted(QString::fromUtf8(MaskSecret(r_.serverReply, secret)));
        return text + FtpFailureDetail(*this) + SftpSaid(*this);
    }
};

} // namespace

QString FailureReason(qint32 code, const PublishReport& report, const PublishJob& job) {
    return Words(report, job).forCode(code);
}
