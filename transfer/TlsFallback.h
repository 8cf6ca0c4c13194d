#pragma once

#include "PublishLadder.h"

#include <QString>

#include <functional>

// How the password and the file travelled.
enum class SecurityPath {
    AsTyped,              // ftpes://, ftps:// or sftp://: as the scheme demands
    VerifiedTls,          // a bare host that agreed to TLS with a trusted certificate
    UnverifiedTls,        // ... with a certificate nobody vouched for
    PlainTlsRefused,      // a bare host that refused AUTH TLS
    PlainAfterTlsFailure, // TLS was agreed but broke; published again in clear text
};

QString DescribeSecurityPath(SecurityPath path);

// Whether a publish that failed over TLS may have failed because of TLS
// itself (the handshake, a data connection under TLS, the server's TLS
// policy): every failure but those plain FTP would meet just the same
// (log-in, files and folders, time-outs, the local file, an abort).
bool BrokenByTls(qint32 code);

using PublishFunction = std::function<qint32(const PublishJob&, const std::atomic<bool>&)>;

// Publishes to a bare host over TLS where the server offers it: first with
// the certificate checked; where only the check fails, again accepting the
// certificate, since an encrypted session nobody vouched for still beats
// clear text; and where TLS itself breaks, once more in plain FTP on a fresh
// connection, so that a bare host never does worse than plain FTP. Other
// transports are published as they are. `path` says how it went.
qint32 PublishPreferringTls(PublishJob job, const std::atomic<bool>& abort,
                            SecurityPath* path = nullptr, const PublishFunction& publish = Publish);
