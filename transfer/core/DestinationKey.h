#pragma once

#include "PublishJob.h"

#include <QByteArray>
#include <QString>

// How a session's password and file travel, as far as its key is concerned:
// a held session serves only a publish that asks for the same.
enum class SessionTls {
    None,       // clear text (a bare host whose server refused TLS), or SFTP
    Verified,   // TLS with a certificate that was verified
    Unverified, // TLS with a certificate nobody vouches for (a bare host only)
};

// Everything that makes one destination, as a connection pool matches a
// connection to a transfer: a held session, or a fact a publish learnt,
// is only ever found by the key of the destination it was made for, or by
// one of the parts below.
//
// The host is the name as typed: a certificate is checked against it, and
// an engine's own configuration may look it up. Two names for one server get a session
// each, which costs a log-in, never a session of the wrong server. Where the
// name now resolves elsewhere (a host that moved), a held connection to the
// old address is not used: see openSession in Publish.cpp.
struct DestinationKey {
    Transport transport = Transport::Ftp;
    QString host;
    quint16 port = 0; // 0: the engine takes the port from its own configuration
    QString userName;
    QByteArray passwordHash; // salted with this run's own salt; never the password
    SessionTls tls = SessionTls::None;

    // The server as one transport reaches it: what it answers and how its
    // TLS behaves.
    QByteArray server() const;
    // The server and the account logged in on it, with its password: a
    // changed password is another account, and starts from nothing.
    QByteArray account() const;
    // The account and the TLS of the session: what a held session is held
    // and found by.
    QByteArray session() const;
};

// The key a publish of `job` looks for: its TLS is the one the job asks for
// (verified for ftpes:// and ftps://; for a bare host as its engine asks).
DestinationKey KeyFor(const PublishJob& job);

// The same with the TLS a session ended up with, to hold it under.
DestinationKey WithTls(DestinationKey key, SessionTls tls);
