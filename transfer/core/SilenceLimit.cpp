#include "SilenceLimit.h"

#include "PublishLadder.h"

#include <algorithm>

std::chrono::seconds LongestSilence(const TransferTimeouts& timeouts) {
    using std::chrono::ceil;
    using std::chrono::seconds;
    static constexpr StepWaits path = LongestPathWaits();
    const auto longest = [](const TransferTimeouts& t) {
        const seconds reply = std::max(ceil<seconds>(t.serverReply), ceil<seconds>(t.stall));
        const seconds logIn = ceil<seconds>(t.connect) + PublishSession::Replies::LogIn * reply;
        return path.logIns * logIn + path.replies * reply + ceil<seconds>(t.cleanup);
    };
    return std::max(longest(timeouts), longest(TransferTimeouts{}));
}
