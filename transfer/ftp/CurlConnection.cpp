#include "CurlConnection.h"

#include "FtpPublishSession.h"

#include <poll.h>

namespace {

// Long enough for a server on the other side of the world to answer QUIT;
// short enough not to hold up the end of the program.
constexpr long GoodbyeSeconds = 2;

} // namespace

CurlConnection::CurlConnection() : easy_(curl_easy_init()) {}

CurlConnection::~CurlConnection() {
    if (easy_)
        driver_.close(easy_, GoodbyeSeconds);
    curl_easy_cleanup(easy_);
}

bool CurlConnection::looksAlive() const {
    const curl_socket_t socket = driver_.lastSocket();
    if (socket == CURL_SOCKET_BAD)
        return false;
    pollfd fd{socket, POLLIN, 0};
    const int ready = ::poll(&fd, 1, 0);
    return ready == 0;
}

std::unique_ptr<PublishSession> CurlConnection::resume(const PublishJob& job,
                                                       const std::atomic<bool>& abort) {
    return std::make_unique<FtpPublishSession>(job, abort, std::unique_ptr<CurlConnection>(this));
}
