#include "FailureLog.h"

#include "UploadLog.h"

namespace {

QString stamp(const QDateTime& time) {
    return time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

} // namespace

FailureLog::FailureLog(Clock clock, std::chrono::seconds summaryEvery)
    : clock_(std::move(clock)), summaryEvery_(summaryEvery) {}

QString FailureLog::kind(bool manual) {
    return manual ? QStringLiteral("manual") : QStringLiteral("automatic");
}

void FailureLog::failed(bool manual, const QString& destination, const QString& reason) {
    const QDateTime now = clock_();
    if (inRun_ && destination == destination_ && reason == reason_) {
        ++total_;
        if (manual) {
            // Asked for by the user, so written whatever the run has said.
            qCWarning(lcUpload).noquote()
                << QStringLiteral("manual upload to %1 failed: %2").arg(destination, reason);
            return;
        }
        if (unwritten_++ == 0)
            unwrittenSince_ = now;
        if (lastLine_.secsTo(now) >= summaryEvery_.count())
            writeSummary();
        return;
    }

    // A new run: whatever the old one has not said yet is said first.
    writeSummary();
    inRun_ = true;
    destination_ = destination;
    reason_ = reason;
    runStart_ = lastLine_ = now;
    total_ = 1;
    qCWarning(lcUpload).noquote()
        << QStringLiteral("%1 upload to %2 failed: %3").arg(kind(manual), destination, reason);
}

void FailureLog::writeSummary() {
    if (!inRun_ || unwritten_ == 0)
        return;
    qCWarning(lcUpload).noquote()
        << QStringLiteral("automatic upload to %1 failed %2 more times since %3, same reason: %4")
               .arg(destination_)
               .arg(unwritten_)
               .arg(stamp(unwrittenSince_), reason_);
    unwritten_ = 0;
    lastLine_ = clock_();
}

void FailureLog::succeeded(bool manual, const QString& destination) {
    if (!inRun_)
        return;
    writeSummary();
    qCInfo(lcUpload).noquote() << QStringLiteral(
                                      "%1 upload to %2 works again, after %3 failed since %4")
                                      .arg(kind(manual), destination)
                                      .arg(total_)
                                      .arg(stamp(runStart_));
    inRun_ = false;
}
