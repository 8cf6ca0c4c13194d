#pragma once

#include <curl/curl.h>

// Runs one easy handle to its end, as curl_easy_perform does, on a multi
// handle of its own that keeps the connection between runs.
//
// libcurl 7.88 can leave an FTP transfer waiting on no socket at all: when
// the reply to EPSV is already in hand the moment it is sent, the transfer
// moves on to open the data connection but returns to its caller first, and
// its own loop then sleeps until the next timer (200 ms, or a second). Here,
// a run that leaves nothing to wait on is run again at once, which is what
// later libcurl releases do themselves.
//
// Over FTPS it can also watch the wrong socket: while the data connection's
// TLS handshake is under way, it waits on that socket alone, but vsftpd
// answers the handshake only after STOR, and the reply that lets libcurl
// send STOR (to TYPE I, on a new log-in) sits unread on the control
// connection until a timer fires, 200 ms later or more. So until the first
// byte of the upload has gone, a wait lasts at most 20 ms; a run that wakes
// for nothing costs a few microseconds.
class CurlDriver {
public:
    CurlDriver();
    ~CurlDriver();
    CurlDriver(const CurlDriver&) = delete;
    CurlDriver& operator=(const CurlDriver&) = delete;

    CURLcode perform(CURL* easy);

    // The control connection the last run left open, for a look at it
    // between runs; CURL_SOCKET_BAD when none.
    curl_socket_t lastSocket() const { return lastSocket_; }

    // Closes the kept connection, allowing the server `seconds` to answer
    // QUIT: libcurl's goodbye otherwise waits as long as the last run's
    // reply limit, on a server that may no longer answer at all.
    void close(CURL* easy, long seconds);

private:
    bool waitsOnSocket() const;

    CURLM* multi_;
    curl_socket_t lastSocket_ = CURL_SOCKET_BAD;
};
