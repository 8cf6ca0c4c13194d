#include "FtpPublisher.h"

#include "CurlSession.h"
#include "LocalFile.h"
#include "ResponseCodes.h"
#include "StuckTemporaries.h"

#include <QRandomGenerator>

#include <span>

namespace {

qint32 checkedCopy(const CurlSession& session, const LocalFile& file) {
    if (file.changed())
        return ResponseCodes::LocalFileChanged;
    const auto size = session.reportedSize();
    return size && *size != file.size() ? ResponseCodes::SizeMismatch : ResponseCodes::Ok;
}

// Commands that fail where the folder of `remote` is missing and otherwise
// leave the session where it was. They go with the second name tried, so
// that a mistyped folder costs one round trip, not a store per name.
QList<QByteArray> folderCheck(const CurlSession& session, const QString& remote,
                              const QString& entry) {
    QString folder = RemoteFolderOf(remote);
    if (folder.size() > 1 && folder.endsWith(u'/'))
        folder.chop(1);
    if (session.sftp() || folder.isEmpty() || folder == u'/' || entry.isEmpty() ||
        HasUnsafeText(entry))
        return {};
    return {"CWD " + folder.toUtf8(), "CWD " + entry.toUtf8()};
}

} // namespace

qint32 Publish(const PublishJob& job, const std::atomic<bool>& abort) {
    LocalFile file;
    if (!file.open(job.localFileName)) {
        if (job.report)
            job.report->localErrno = file.error();
        return ResponseCodes::LocalFileUnreadable;
    }
    CurlSession session(job, abort);
    if (!session.valid())
        return ResponseCodes::CurlBase + CURLE_FAILED_INIT;

    const QString& finalName = job.remoteFileName;
    const QString token = QString::number(QRandomGenerator::system()->generate64(), 16);
    // Where the bytes go, safest first: a hidden temporary name; a visible
    // one, for servers that refuse names beginning with a dot; the final
    // name itself, as a plain store would, for servers that let a client
    // replace that file and create nothing beside it. The next name is
    // tried only when the server refused the last before any data went out.
    const QString names[] = {TemporaryNameFor(finalName, token),
                             VisibleTemporaryNameFor(finalName, token), finalName};
    const QString target =
        QString::fromUtf8(CurlBaseUrl(job.endpoint)) + u'\n' + job.userName + u'\n' + finalName;
    const qsizetype first = TemporaryWouldStick(target) ? std::size(names) - 1 : 0;
    QString temporary; // the name holding our copy, unless it is the final one
    // Whether the server removed it: true also where nothing was left.
    const auto removeTemporary = [&] {
        if (temporary.isEmpty() || session.aborted())
            return true;
        return session.commands({session.removeCommand(temporary)}, true) != CURLE_QUOTE_ERROR;
    };

    CURLcode rc = CURLE_OK;
    QList<QByteArray> checks;
    for (const QString& name : std::span(names).subspan(first)) {
        if (!file.rewind())
            return ResponseCodes::LocalFileUnreadable;
        temporary = name == finalName ? QString() : name;
        rc = session.store(name, file, checks);
        if (rc == CURLE_OK || !session.refusedBeforeData(rc, file))
            break;
        checks = name == names[0] ? folderCheck(session, finalName, session.entryPath())
                                  : QList<QByteArray>{};
    }
    if (rc != CURLE_OK) {
        // A refused folder check ends here too, with the server's reply to
        // it: the folder is missing, and no name would do.
        const qint32 code = session.failureCode(rc, file);
        // Before the log-in went through there is nothing to remove, and a
        // second attempt would only double the wait on a refused password.
        if (session.mayHaveStored(rc) && !session.refusedBeforeData(rc, file))
            removeTemporary();
        return code;
    }
    if (const qint32 code = checkedCopy(session, file); code != ResponseCodes::Ok) {
        removeTemporary();
        return code;
    }
    if (temporary.isEmpty())
        return ResponseCodes::Ok;
    rc = session.commands(session.renameCommands(temporary, finalName));
    if (rc == CURLE_OK)
        return ResponseCodes::Ok;
    if (rc != CURLE_QUOTE_ERROR) {
        // The server went away or stopped answering: not a refusal to act on.
        const qint32 code = session.failureCode(rc, file);
        removeTemporary();
        return code;
    }

    // FTP servers that answered RNFR and then refused RNTO with 550 or 553,
    // and SFTP servers (OpenSSH among them), will not rename onto an existing
    // file: make room first.
    const long refusal = session.lastReply();
    if (session.sftp() || (session.sawReply(350) && (refusal == 550 || refusal == 553))) {
        QList<QByteArray> replace{"*" + session.removeCommand(finalName)};
        replace += session.renameCommands(temporary, finalName);
        rc = session.commands(replace);
        if (rc == CURLE_OK)
            return ResponseCodes::Ok;
        if (rc != CURLE_QUOTE_ERROR) {
            const qint32 code = session.failureCode(rc, file);
            removeTemporary();
            return code;
        }
    }

    // No renames on this server: store under the final name, as a plain
    // store would, and drop the temporary copy.
    qint32 code = ResponseCodes::Ok;
    if (!file.rewind()) {
        code = ResponseCodes::LocalFileUnreadable;
    } else {
        rc = session.store(finalName, file);
        code = rc == CURLE_OK ? checkedCopy(session, file) : session.failureCode(rc, file);
    }
    if (!removeTemporary() && rc == CURLE_OK)
        RememberStuckTemporary(target);
    return code;
}
