#pragma once

#include <QDateTime>
#include <QString>

#include <chrono>
#include <functional>

// Writes the outcome of each upload to harlune.upload without flooding the
// log: an automatic upload that fails every second for a week gives one
// warning for the first failure of a run of identical ones, then at most one
// summary every ten minutes, and an info line once uploads work again. A
// different reason or destination starts a new run. A manual upload's
// failure is always written: the user asked for that upload.
class FailureLog {
public:
    using Clock = std::function<QDateTime()>;

    explicit FailureLog(Clock clock = &QDateTime::currentDateTime,
                        std::chrono::seconds summaryEvery = std::chrono::minutes(10));

    void failed(bool manual, const QString& destination, const QString& reason);
    void succeeded(bool manual, const QString& destination);

private:
    static QString kind(bool manual);
    void writeSummary();

    Clock clock_;
    std::chrono::seconds summaryEvery_;
    // The run of identical failures under way, if any.
    bool inRun_ = false;
    QString destination_, reason_;
    QDateTime runStart_;
    QDateTime lastLine_;       // when the run last wrote a line
    QDateTime unwrittenSince_; // the first failure not yet counted in a line
    qint64 unwritten_ = 0;     // failures since the run's last line
    qint64 total_ = 0;         // failures in the run
};
