#pragma once

#include <QString>

// Whether `host` (a name or an address, as typed) still resolves to
// `address`: a held connection to a host that has since moved must not go
// on publishing to the old server. Blocks while the name is looked up.
bool HostResolvesTo(const QString& host, const QString& address);
