#pragma once

#include "FailureLog.h"
#include "ResultReporter.h"
#include "TickCount.h"
#include "UploadSettings.h"

#include <QString>

#include <functional>

// When and how uploads run, and what the user is told. The window owns one
// and forwards its button and timer events to it.
class UploadControl {
public:
    // One upload; on failure `reason` says why, in plain words.
    using Transfer =
        std::function<bool(QString HostName, QString username, QString password,
                           QString LocalFileName, QString RemoteFileName, QString& reason)>;

    UploadControl(const UploadSettings& settings, Transfer transfer, ResultReporter& reporter,
                  TickSource ticks = TickCount);

    void cmdUpload_Click();
    void TimerUpload_Timer();

    // After the window has gone, uploads still waiting end without a report.
    void SuppressReports() { reportsSuppressed_ = true; }

    int UploadsWaiting() const { return uploadsWaiting_; }

    // The form's names: whether the running upload was asked for by the
    // Upload button, and so ends in a message box; and the tick count
    // (TickCount, ms) at which the last timed upload started.
    bool blnShowResult = false;
    qint32 lngLastUpload = 0;

private:
    void RunUpload();

    const UploadSettings& settings_;
    Transfer transfer_;
    ResultReporter& reporter_;
    TickSource ticks_;
    int uploadsWaiting_ = 0;
    bool reportsSuppressed_ = false;
    FailureLog log_;
};
