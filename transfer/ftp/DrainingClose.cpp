#include "DrainingClose.h"

#include <chrono>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

int CloseDraining(void* clientp, curl_socket_t socket) {
    const auto* abort = static_cast<const std::atomic<bool>*>(clientp);
    if (!(abort && abort->load()) && ::shutdown(socket, SHUT_WR) == 0) {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::milliseconds(DrainLimitMs);
        char buffer[4096];
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd ready{socket, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0)
                break;
            // Zero is the server's orderly close; an error ends the wait too.
            if (::recv(socket, buffer, sizeof buffer, MSG_DONTWAIT) <= 0)
                break;
        }
    }
    return ::close(socket);
}
