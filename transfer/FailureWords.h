#pragma once

#include "PublishJob.h"
#include "PublishReport.h"

#include <QString>

// The pieces FailureReason's words are made of, shared by the program's own
// codes and each engine's words: the same failure reads the same whichever
// engine met it.
class FailureWords {
public:
    FailureWords(const PublishReport& report, const PublishJob& job) : r(report), job(job) {}

    // Outside text, escaped, in double quotes.
    static QString quoted(const QString& text);
    static QString systemError(int error);
    // Masked of the password, escaped.
    QString masked(const QByteArray& text) const;

    QString where() const;
    QString hostNotFound() const;
    QString cannotConnect() const;
    QString connectTimedOut() const;
    QString noReply() const;
    QString stalled() const;
    QString loginRefused() const;
    QString connectionLost() const;
    QString aborted() const;
    // A store, in either engine's words.
    bool storing() const;
    QString refusedAction() const;
    QString remoteFolder() const;
    // A refused request: a store's folder, or the request itself.
    QString refused() const;

    const PublishReport& r;
    const PublishJob& job;
};

// The FTP engine's words (FtpFailureWords.cpp), from the FtpFailure it left
// in the report.
// Why it failed; empty where it noted no code of libcurl's.
QString FtpFailureWhy(const FailureWords& words);
// libcurl's own account, to follow the server's reply; empty where none.
QString FtpFailureDetail(const FailureWords& words);
// Why a bare host held to TLS was refused.
QString FtpDowngradeWhy(const FailureWords& words);
