#include "PublishJob.h"

#include <algorithm>

std::chrono::milliseconds CleanupCapped(const TransferTimeouts& t,
                                        std::chrono::milliseconds limit, bool cleanup) {
    return cleanup ? std::min(limit, t.cleanup) : limit;
}

std::chrono::milliseconds ReplyWait(const TransferTimeouts& t, bool firstOnHeld, bool cleanup) {
    std::chrono::milliseconds reply = CleanupCapped(t, t.serverReply, cleanup);
    return firstOnHeld ? std::min(reply, t.heldFirstReply) : reply;
}
