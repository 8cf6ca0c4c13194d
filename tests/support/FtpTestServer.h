#pragma once

#include "TestServer.h"

#include <QString>
#include <QStringList>

// A throwaway FTP server on loopback for tests: pyftpdlib (with modes that
// misbehave on purpose) or the system's vsftpd (needs root). Each start()
// serves a fresh login directory holding an empty "public_html/"; a file
// seeded there belongs to vsftpd's account.
class FtpTestServer : public TestServer {
public:
    enum class Kind { Pyftpdlib, Vsftpd };

    struct Options {
        // pyftpdlib only: normal, no-rename, no-overwrite, no-size, no-dot-names (refuses
        // to create names beginning with a dot), no-new-files (writes existing files
        // only), only-plain-names (no dot names, nothing ending ".part"), drop-mid-data,
        // drop-after-data, drop-at-login, drop-before-rename, stall-reply, stall-data,
        // no-banner, greeting-234 (a "234-" line in the greeting; no TLS).
        QString mode = QStringLiteral("normal");
        QString host = QStringLiteral("127.0.0.1"); // or "::1" (pyftpdlib)
        QString user = QStringLiteral("harlune");   // vsftpd always uses TestSystemUser()
        QString password = QStringLiteral("s3cret");
        qint64 dropAfter = 0; // bytes, for drop-mid-data and stall-data
        qint64 throttle = 0;  // upload bytes per second, 0 = unlimited
        // pyftpdlib: data connections on passivePorts ports from
        // firstPassivePort on (on an ephemeral one while all are taken);
        // 0: on any ephemeral port.
        quint16 firstPassivePort = 0;
        int passivePorts = 0;
    };

    explicit FtpTestServer(Kind kind = Kind::Pyftpdlib) : m_kind(kind) {}

    // False with errorString() set, and skipReason() where it cannot run.
    bool start() { return start(Options{}); }
    bool start(const Options& options);

    QString host() const { return m_host; }
    QString hostPort() const; // "127.0.0.1:2121" or "[::1]:2121"

    // Command lines in the order received, with "CONNECT" and "DISCONNECT" for
    // the control connections. vsftpd: no DISCONNECT, and PASS reads "PASS <password>".
    QStringList commands() const;

private:
    Kind m_kind;
    QString m_host;
};
