#pragma once

#include "Connection.h"
#include "CurlDriver.h"
#include "PublishJob.h"

#include <curl/curl.h>

#include <atomic>
#include <optional>

// A libcurl handle with the connection it keeps: made for one publish, and
// held for the next one to the same destination where that one succeeded.
class CurlConnection final : public Connection {
public:
    CurlConnection();
    // Says goodbye (QUIT) within a second or two, never longer.
    ~CurlConnection() override;
    CurlConnection(const CurlConnection&) = delete;
    CurlConnection& operator=(const CurlConnection&) = delete;

    CURL* easy() const { return easy_; }
    CurlDriver& driver() { return driver_; }

    // Nothing waits to be read on the control connection: a server that
    // ended the session has sent its "421" or closed it, and libcurl 7.88
    // would read that as the answer to the next command.
    bool looksAlive() const override;
    QString peerAddress() const override { return peer; }

    // The control connection runs through TLS, as libcurl's TLS layer said
    // while a reply came in.
    bool tlsAccepted = false;
    // How TLS was asked for when it logged in. A held connection goes on
    // as it began, since libcurl reuses a connection only for the same
    // asking; it is held under the TLS it ended up with (DestinationKey),
    // so it only ever serves a publish that asks for that.
    std::optional<OptionalTls> optionalTls; // none before the first request
    bool tlsRequired = false;
    // Asks for TLS 1.2 at most: held TLS 1.3 sessions cannot carry a second
    // data connection on servers that require it to resume the session.
    bool tls12Max = false;
    // The server's address, as the last publish on it left it.
    QString peer;
    // Set on abort: the connection's sockets close at once, without the
    // draining wait of a TLS close.
    std::atomic<bool> hurry{false};

private:
    std::unique_ptr<PublishSession> resume(const PublishJob& job,
                                           const std::atomic<bool>& abort) override;

    CURL* easy_;
    CurlDriver driver_;
};
