#pragma once

#include "PublishJob.h"
#include "PublishReport.h"

#include <QString>

// The sentences the failure words of more than one engine share, over what
// one publish noted: each engine's words (FailureReason.cpp and the
// engines' own files) build on them.
class FailureWords {
public:
    FailureWords(const PublishReport& report, const PublishJob& job) : r_(report), job_(job) {}

    const PublishReport& report() const { return r_; }
    const PublishJob& job() const { return job_; }

    // An outside text in quotes, escaped for the log.
    static QString quoted(const QString& text);
    static QString systemError(int error);
    // The text as it may be shown: the password masked, then quoted.
    QString masked(const QByteArray& text) const;

    QString where() const;
    QString hostNotFound() const;
    QString cannotConnect() const;
    QString connectTimedOut() const;
    QString loginRefused() const;
    QString noReply() const;
    QString stalled() const;
    QString connectionLost() const;
    QString aborted() const;
    // A request the server refused; a store, in words of the remote folder.
    QString refused() const;
    QString refusedAction() const;
    QString remoteFolder() const;
    // A store, in FTP's words or SFTP's.
    bool storing() const;

protected:
    const PublishReport& r_;
    const PublishJob& job_;
};
