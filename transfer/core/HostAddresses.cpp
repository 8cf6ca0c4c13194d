#include "HostAddresses.h"

#include <QHostAddress>

#include <netdb.h>
#include <sys/socket.h>

bool HostResolvesTo(const QString& host, const QString& address) {
    const QHostAddress peer(address);
    if (peer.isNull())
        return false;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.toUtf8().constData(), nullptr, &hints, &found) != 0)
        return false;
    bool matches = false;
    for (const addrinfo* a = found; a && !matches; a = a->ai_next)
        matches = QHostAddress(a->ai_addr).isEqual(peer, QHostAddress::TolerantConversion);
    ::freeaddrinfo(found);
    return matches;
}
