#pragma once

#include "PublishReport.h"
#include "RemoteTarget.h"

#include <QString>

#include <atomic>
#include <chrono>

struct TransferTimeouts {
    std::chrono::milliseconds connect{30'000};
    std::chrono::seconds serverReply{60}; // longest wait for any reply of the server
    std::chrono::seconds stall{60};       // longest time without data progress
    // A held session that a server or a NAT box dropped without a word
    // answers nothing: its first request waits this long at most, and the
    // publish goes on on a fresh session.
    std::chrono::milliseconds heldFirstReply{10'000};
    // Clean-up after a failure is best effort: it must not double the wait
    // on a server that has stopped answering.
    std::chrono::milliseconds cleanup{5'000};
    // The look at a folder for copies of runs that ended is housekeeping:
    // a folder too big, or a listing that never ends, is read this long at
    // the most.
    std::chrono::milliseconds look{10'000};
};

// How a plain FTP session (a bare host, ftp://) asks for TLS. Verified and
// Unverified send AUTH TLS before logging in and go on in clear text only
// where the server refuses it; Unverified accepts a certificate nobody
// vouches for. ftpes:// and ftps:// always require verified TLS.
enum class OptionalTls { Off, Verified, Unverified };

struct PublishJob {
    Endpoint endpoint;
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

// Stores one local file on a server, over any transport, so that the final
// name only ever holds a complete copy: the bytes go to a temporary name
// beside it, their size is checked where the server tells it, and a rename
// puts them in place. Runs on the session held for the destination where
// there is one, and holds its session for the next publish where it worked.
// Blocks until done; `abort` ends it early. Returns a response code
// (ResponseCodes.h).
qint32 Publish(const PublishJob& job, const std::atomic<bool>& abort);
