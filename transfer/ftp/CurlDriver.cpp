#include "CurlDriver.h"

#include <sys/select.h>

namespace {

// libcurl's own ceiling for one wait; timers end it sooner.
constexpr int WaitCeilingMs = 1000;
// Until the upload's first byte: see the class comment.
constexpr int WaitCeilingBeforeDataMs = 20;

bool sentData(CURL* easy) {
    curl_off_t sent = 0;
    return curl_easy_getinfo(easy, CURLINFO_SIZE_UPLOAD_T, &sent) == CURLE_OK && sent > 0;
}

CURLcode fromMulti(CURLMcode code) {
    return code == CURLM_OUT_OF_MEMORY ? CURLE_OUT_OF_MEMORY : CURLE_BAD_FUNCTION_ARGUMENT;
}

} // namespace

CurlDriver::CurlDriver() : multi_(curl_multi_init()) {}

CurlDriver::~CurlDriver() {
    // Closes the kept connection, with QUIT where it is still up.
    if (multi_)
        curl_multi_cleanup(multi_);
}

CURLcode CurlDriver::perform(CURL* easy) {
    if (!multi_)
        return CURLE_FAILED_INIT;
    if (const CURLMcode added = curl_multi_add_handle(multi_, easy); added != CURLM_OK)
        return fromMulti(added);
    CURLcode result = CURLE_OK;
    bool ranAgain = false;
    for (;;) {
        int running = 0;
        if (const CURLMcode code = curl_multi_perform(multi_, &running); code != CURLM_OK) {
            result = fromMulti(code);
            break;
        }
        if (running == 0) {
            int left = 0;
            const CURLMsg* message = curl_multi_info_read(multi_, &left);
            result = message && message->msg == CURLMSG_DONE ? message->data.result
                                                             : CURLE_BAD_FUNCTION_ARGUMENT;
            break;
        }
        // Once only: a transfer that really waits on a timer alone (none of
        // ours does) must not spin.
        if (!ranAgain && !waitsOnSocket()) {
            ranAgain = true;
            continue;
        }
        ranAgain = false;
        const int ceiling = sentData(easy) ? WaitCeilingMs : WaitCeilingBeforeDataMs;
        if (const CURLMcode code = curl_multi_poll(multi_, nullptr, 0, ceiling, nullptr);
            code != CURLM_OK) {
            result = fromMulti(code);
            break;
        }
    }
    // Asked before the handle leaves the multi handle: afterwards libcurl
    // no longer finds the connection for it.
    if (curl_easy_getinfo(easy, CURLINFO_ACTIVESOCKET, &lastSocket_) != CURLE_OK)
        lastSocket_ = CURL_SOCKET_BAD;
    curl_multi_remove_handle(multi_, easy);
    return result;
}

void CurlDriver::close(CURL* easy, long seconds) {
    if (!multi_)
        return;
    // The multi handle closes its connections with a handle of its own,
    // which takes its reply limit from the handle added last.
    curl_easy_setopt(easy, CURLOPT_SERVER_RESPONSE_TIMEOUT, seconds);
    if (curl_multi_add_handle(multi_, easy) == CURLM_OK)
        curl_multi_remove_handle(multi_, easy);
    curl_multi_cleanup(multi_);
    multi_ = nullptr;
    lastSocket_ = CURL_SOCKET_BAD;
}

bool CurlDriver::waitsOnSocket() const {
    // A socket numbered past FD_SETSIZE is left out of the sets and looks
    // like none; that costs one more run, never a wrong wait.
    fd_set read, write, error;
    FD_ZERO(&read);
    FD_ZERO(&write);
    FD_ZERO(&error);
    int highest = -1;
    curl_multi_fdset(multi_, &read, &write, &error, &highest);
    return highest >= 0;
}
