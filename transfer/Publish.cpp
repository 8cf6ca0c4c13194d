#include "Publish.h"

#include "FtpPublishSession.h"
#include "DestinationKey.h"
#include "HeldSessions.h"
#include "HostAddresses.h"
#include "PublishLadder.h"
#include "SftpPublishSession.h"
#include "TransferLog.h"

namespace {

// The session held for the destination. A bare host's clear session (its
// server refused TLS, or TLS broke) serves a publish that asks for TLS
// while the server is not held to it: only a fresh log-in asks again.
std::unique_ptr<Connection> takeHeld(const PublishJob& job, const DestinationKey& key) {
    if (std::unique_ptr<Connection> held = TakeHeldSession(key))
        return held;
    if (job.endpoint.transport == Transport::Ftp && !job.tlsRequired && key.tls != SessionTls::None)
        return TakeHeldSession(WithTls(key, SessionTls::None));
    return nullptr;
}

// A session for the publish: on the connection held for its destination,
// where one is and its server is still where the host name leads; else on a
// fresh connection of the transport's engine.
std::unique_ptr<PublishSession> openSession(const PublishJob& job, const DestinationKey& key,
                                            const std::atomic<bool>& abort, bool fresh) {
    if (!fresh) {
        if (std::unique_ptr<Connection> held = takeHeld(job, key)) {
            const QString address = held->peerAddress();
            if (address.isEmpty() || HostResolvesTo(held->peerHost(job.endpoint.host), address))
                return Connection::Resume(std::move(held), job, abort);
            qCDebug(lcTransfer).noquote()
                << "the held session's server" << address << "is no longer where"
                << job.endpoint.host << "leads: logging in anew";
        }
    }
    if (job.endpoint.transport == Transport::Sftp)
        return std::make_unique<SftpPublishSession>(job, abort);
    auto session = std::make_unique<FtpPublishSession>(job, abort);
    if (!session->valid())
        return nullptr;
    return session;
}

} // namespace

qint32 Publish(const PublishJob& job, const std::atomic<bool>& abort) {
    const DestinationKey key = KeyFor(job);
    return PublishOver(job, abort,
                       [&key](bool fresh, const PublishJob& on, const std::atomic<bool>& ends) {
                           return openSession(on, key, ends, fresh);
                       });
}
