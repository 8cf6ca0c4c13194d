#pragma once

#include "Connection.h"
#include "DestinationKey.h"

#include <chrono>
#include <memory>

// How long a session may sit unused before it is closed. Servers end idle
// sessions themselves after 300 s (vsftpd), 600 s (proftpd) or 15 min
// (pure-ftpd), hosts and NAT boxes often sooner (4 to 5 min is common);
// two minutes keeps the default one-minute interval on one session and
// closes well before any of those would.
constexpr std::chrono::seconds HeldSessionIdleLimit{120};

// The connection held for `key` (DestinationKey::session()), if one is and
// still looks alive; one that idled past the limit or was ended by the
// server is closed instead.
std::unique_ptr<Connection> TakeHeldSession(const DestinationKey& key);
// Keeps `connection` for the next publish to `key`, and closes it once it
// has idled past the limit.
void HoldSession(const DestinationKey& key, std::unique_ptr<Connection> connection);
// Closes every held session, each with a short, bounded goodbye: for the
// end of the program.
void CloseHeldSessions();
