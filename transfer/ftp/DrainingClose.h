#pragma once

#include <curl/curl.h>

#include <atomic>

// libcurl's close-socket callback for FTPS. libcurl 7.88 closes a TLS 1.3
// data connection while the server's session tickets still sit unread in
// the socket's receive buffer; the kernel then answers the close with a
// reset instead of an orderly end, and a server that had not yet read the
// last of the upload loses it (vsftpd answers 426 and keeps a short file).
// Shutting the socket down for writing and reading until the server closes
// its side, for at most `DrainLimitMs`, lets every byte arrive first.
// `clientp` points to the connection's hurry flag (`CurlConnection::hurry`),
// which a publish sets when it is aborted: the socket then closes at once.
inline constexpr int DrainLimitMs = 1000;
int CloseDraining(void* clientp, curl_socket_t socket);
