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

bool HasUnsafeText(const PublishJob& job) {
    for (const QString* text : {&job.endpoint.host, &job.userName, &job.password,
                                &job.localFileName, &job.remoteFileName}) {
        if (HasUnsafeText(*text))
            return true;
    }
    return false;
}
