#pragma once

#include "PublishJob.h"
#include "SecurityPath.h"

#include <QString>

#include <functional>

QString DescribeSecurityPath(SecurityPath path);

// Whether a publish that failed over TLS may have failed because of TLS
// itself (the handshake, a data connection under TLS, the server's TLS
// policy): every failure but those plain FTP would meet just the same
// (log-in, files and folders, time-outs, the local file, an abort).
bool BrokenByTls(qint32 code);

using PublishFunction = std::function<qint32(const PublishJob&, const std::atomic<bool>&)>;
// A failure in words, for the log lines that say why TLS was left.
using ExplainFunction =
    std::function<QString(qint32 code, const PublishReport& report, const PublishJob& job)>;

// Publishes to a bare host over TLS where the server offers it: first with
// the certificate checked; where only the check fails, again accepting the
// certificate, since an encrypted session nobody vouched for still beats
// clear text; and where TLS itself breaks, once more in plain FTP on a fresh
// connection, so that a bare host never does worse than plain FTP.
// ftpes:// and ftps:// are published as they are. `publish` runs one
// attempt; `path` says how it went.
qint32 PublishPreferringTls(PublishJob job, const std::atomic<bool>& abort, SecurityPath* path,
                            const PublishFunction& publish, const ExplainFunction& explain);
