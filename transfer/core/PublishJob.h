#pragma once

#include "PublishReport.h"
#include "RemoteTarget.h"

#include <QString>

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
    // The listing of a folder for copies of runs that ended is housekeeping:
    // a folder too big, or a listing that never ends, is read this long at
    // the most.
    std::chrono::milliseconds listing{10'000};
};

// How a plain FTP session (a bare host, ftp://) asks for TLS. Verified and
// Unverified ask for TLS before logging in and go on in clear text only
// where the server refuses it; Unverified accepts a certificate nobody
// vouches for. ftpes:// and ftps:// always require verified TLS.
enum class OptionalTls { Off, Verified, Unverified };

// What one publish is. Its texts were checked where they were typed
// (TransferInet): none holds a CR, LF or NUL.
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

// The longest wait for one reply of the server: its limit, shorter for the
// first request on a held session (the network may have dropped it without
// a word) and for clean-up after a failure.
std::chrono::milliseconds ReplyWait(const TransferTimeouts& t, bool firstOnHeld, bool cleanup);
// Any other limit, under clean-up.
std::chrono::milliseconds CleanupCapped(const TransferTimeouts& t,
                                        std::chrono::milliseconds limit, bool cleanup);

