#include "FtpPublisher.h"

#include "CurlSession.h"
#include "LocalFile.h"
#include "ResponseCodes.h"

#include <QRandomGenerator>

namespace {

qint32 checkedCopy(const CurlSession& session, const LocalFile& file) {
    if (file.changed())
        return ResponseCodes::LocalFileChanged;
    const auto size = session.reportedSize();
    return size && *size != file.size() ? ResponseCodes::SizeMismatch : ResponseCodes::Ok;
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
    const QString temporary = TemporaryNameFor(finalName, token);
    const auto removeTemporary = [&] {
        if (!session.aborted())
            session.commands({session.removeCommand(temporary)}, true);
    };

    CURLcode rc = session.store(temporary, file);
    if (rc != CURLE_OK) {
        const qint32 code = session.failureCode(rc, file);
        // Before the log-in went through there is nothing to remove, and a
        // second attempt would only double the wait on a refused password.
        if (session.mayHaveStored(rc))
            removeTemporary();
        return code;
    }
    if (const qint32 code = checkedCopy(session, file); code != ResponseCodes::Ok) {
        removeTemporary();
        return code;
    }

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
    removeTemporary();
    return code;
}
