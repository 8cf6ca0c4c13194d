#pragma once

#include "FtpPublisher.h"

// Short enough for a test, yet longer than any pause the test servers make
// on purpose before answering.
inline TransferTimeouts TestTimeouts() {
    TransferTimeouts t;
    t.connect = std::chrono::milliseconds(3000);
    t.serverReply = std::chrono::seconds(5);
    t.stall = std::chrono::seconds(3);
    return t;
}
