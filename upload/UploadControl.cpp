#include "UploadControl.h"

#include "Destination.h"
#include "TickDecision.h"
#include "UploadLog.h"

namespace {

template <typename Read> auto readOrEmpty(Read&& read) -> std::optional<decltype(read())> {
    try {
        return read();
    } catch (...) {
        return std::nullopt;
    }
}

} // namespace

UploadControl::UploadControl(const UploadSettings& settings, Transfer transfer,
                             ResultReporter& reporter, TickSource ticks)
    : settings_(settings), transfer_(std::move(transfer)), reporter_(reporter),
      ticks_(std::move(ticks)) {}

void UploadControl::cmdUpload_Click() {
    blnShowResult = true;
    RunUpload();
}

void UploadControl::RunUpload() {
    // Whether to report is settled now, not after the wait: a tick or a click
    // nested inside the wait must not take this upload's report away or add
    // one to it.
    const bool showResult = blnShowResult;
    const QString host = settings_.HostName();
    const QString user = settings_.UserName();
    const QString password = settings_.Password();
    const QString local = settings_.LocalFileName();
    const QString remote = RemoteFileNameFor(settings_.RemoteLocation());

    bool ok = false;
    QString reason;
    {
        // Counted while it waits, so that ticks can tell an upload is running.
        struct Waiting {
            int& count;
            explicit Waiting(int& c) : count(c) { ++count; }
            ~Waiting() { --count; }
        } waiting(uploadsWaiting_);
        ok = transfer_(host, user, password, local, remote, reason);
    }

    // Written before the box is shown, so that the reason is in the log
    // while the user reads "Failed".
    const QString destination = DescribeDestination(host, user, remote);
    if (ok) {
        qCInfo(lcUpload).noquote()
            << (showResult ? "manual" : "automatic") << "upload to" << destination << "succeeded";
        log_.succeeded(showResult, destination);
    } else {
        log_.failed(showResult, destination,
                    reason.isEmpty() ? QStringLiteral("no reason was given") : reason);
    }

    if (showResult && !reportsSuppressed_)
        reporter_.ShowResult(ok ? QStringLiteral("Success") : QStringLiteral("Failed"));
}

void UploadControl::TimerUpload_Timer() {
    TickState tick;
    tick.now = ticks_();
    tick.lastUpload = lngLastUpload;
    tick.intervalText = readOrEmpty([&] { return settings_.IntervalText(); });
    tick.gate = readOrEmpty([&] { return settings_.AutoUploadGate(); });
    tick.uploadWaiting = uploadsWaiting_ > 0;
    if (!ShouldStartAutoUpload(tick))
        return;

    // Stamped before the upload, so the next one is due an interval after
    // this one started, however long it takes.
    lngLastUpload = static_cast<qint32>(ticks_());
    blnShowResult = false;
    try {
        RunUpload();
    } catch (...) {
        // A control that cannot be read only costs this tick its upload.
    }
}
