#pragma once

#include "FtpTarget.h"
#include "PublishReport.h"

#include <QString>

#include <atomic>
#include <chrono>

struct TransferTimeouts {
    std::chrono::milliseconds connect{30'000};
    std::chrono::seconds serverReply{60}; // longest wait for any reply of the server
    std::chrono::seconds stall{60};       // longest time without data progress
};

// How a plain FTP session (a bare host, ftp://) asks for TLS. Verified and
// Unverified send AUTH TLS before logging in and go on in clear text only
// where the server refuses it; Unverified accepts a certificate nobody
// vouches for. ftpes:// and ftps:// always require verified TLS.
enum class OptionalTls { Off, Verified, Unverified };

struct PublishJob {
    FtpEndpoint endpoint;
    QString userName; // empty: anonymous login
    QString password;
    QString localFileName;
    QString remoteFileName;
    TransferTimeouts timeouts;
    OptionalTls optionalTls = OptionalTls::Off;
    // With Verified or Unverified: the server took TLS earlier in the run,
    // so it must now too; no clear text.
    bool tlsRequired = false;
    PublishReport* report = nullptr; // not owned; notes how the publish went
};

// Stores one local file on an FTP server so that the final name only ever
// holds a complete copy: the bytes go to a temporary name beside it, their
// size is checked where the server answers SIZE, and a rename puts them in
// place. Blocks until done; `abort` ends it early. Returns a response code
// (ResponseCodes.h).
qint32 Publish(const PublishJob& job, const std::atomic<bool>& abort);
