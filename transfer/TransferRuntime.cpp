#include "TransferRuntime.h"

#include "AskPass.h"
#include "HeldSessions.h"
#include "SshCommand.h"

#include <curl/curl.h>

#include <cstdlib>

TransferRuntime::Guard::Guard() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
}

TransferRuntime::Guard::~Guard() {
    curl_global_cleanup();
}

bool TransferRuntime::runsAskPass(int argc, char** argv, int& rc) {
    if (!std::getenv(AskPassVariable))
        return false;
    rc = AskPassMain(argc, argv);
    return true;
}

void TransferRuntime::closeHeldSessions() {
    CloseHeldSessions();
}
