#include "TestProgram.h"

#include <curl/curl.h>

#include <mutex>

void SetUpTestProgram() {
    static std::once_flag done;
    std::call_once(done, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}
