#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <memory>

// A logged-in session kept open between publishes to one destination, so
// that an upload every few seconds logs in once, not every time.
class HeldSession {
public:
    virtual ~HeldSession() = default;
    // Whether it can carry another publish: the server has not ended it
    // (nothing unasked waits on the connection, the process still runs).
    virtual bool looksAlive() const = 0;
};

// How long a session may sit unused before it is closed. Servers end idle
// sessions themselves after 300 s (vsftpd), 600 s (proftpd) or 15 min
// (pure-ftpd), hosts and NAT boxes often sooner (4 to 5 min is common);
// two minutes keeps the default one-minute interval on one session and
// closes well before any of those would.
constexpr std::chrono::seconds HeldSessionIdleLimit{120};

// The destination's key covers everything that makes a session: address,
// transport, user name, password (as a salted hash), and how TLS was asked
// for. Any change means another session.
QByteArray HeldSessionKey(const QByteArray& destination, const QString& userName,
                          const QString& password);

// The session held for `key`, if one is and still looks alive; one that
// idled past the limit or was ended by the server is closed instead.
std::unique_ptr<HeldSession> TakeHeldSession(const QByteArray& key);
// Keeps `session` for the next publish to `key`, and closes it once it has
// idled past the limit.
void HoldSession(const QByteArray& key, std::unique_ptr<HeldSession> session);
// Closes every held session, each with a short, bounded goodbye: for the
// end of the program.
void CloseHeldSessions();
