#pragma once

#include "PublishReport.h"
#include "ResponseCodes.h"

#include <QByteArray>

#include <any>

// The FTP engine's own account of the failure it met, which the core carries
// unread in PublishReport::engine and the component's words read back.
struct FtpFailure {
    int curlCode = 0;     // libcurl's CURLcode for the failed request; 0: none
    QByteArray curlError; // libcurl's own account (its error buffer)
};

namespace ResponseCodes {
// A failure below FTP's own replies: CurlBase + libcurl's CURLcode.
constexpr qint32 CurlBase = EngineBase;
} // namespace ResponseCodes

// The FTP engine's account in `report`, or null where it noted none.
inline const FtpFailure* FtpFailureOf(const PublishReport& report) {
    return std::any_cast<FtpFailure>(&report.engine);
}
