// CurlSession's TLS, in a file of its own: what each transport adds to a
// session (TLS for FTPS) and the options of its TLS.
#include "CurlSession.h"
#include "DrainingClose.h"

#include <QDir>
#include <QFile>

void CurlSession::secure() {
    switch (job_.endpoint.transport) {
    case Transport::Ftp:
        curl_easy_setopt(handle_, CURLOPT_PROTOCOLS_STR, "ftp");
        if (optionalTls_ == OptionalTls::Off)
            break;
        // Ask for TLS before the log-in, and go on in clear text only where
        // the server says no: the password then travels as it always did.
        curl_easy_setopt(handle_, CURLOPT_USE_SSL,
                         static_cast<long>(tlsRequired_ ? CURLUSESSL_ALL : CURLUSESSL_TRY));
        curl_easy_setopt(handle_, CURLOPT_FTPSSLAUTH, static_cast<long>(CURLFTPAUTH_TLS));
        tlsOptions(optionalTls_ == OptionalTls::Verified);
        break;
    case Transport::FtpExplicitTls:
    case Transport::FtpImplicitTls:
        curl_easy_setopt(handle_, CURLOPT_PROTOCOLS_STR, "ftp,ftps");
        // TLS on the control and the data connections, or no upload: the
        // password never goes out in clear.
        curl_easy_setopt(handle_, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
        tlsOptions(true);
        break;
    case Transport::Sftp:
        // SFTP goes through OpenSSH's own client, never libcurl.
        break;
    }
}

void CurlSession::tlsOptions(bool verify) {
    curl_easy_setopt(handle_, CURLOPT_SSL_VERIFYPEER, verify ? 1L : 0L);
    curl_easy_setopt(handle_, CURLOPT_SSL_VERIFYHOST, verify ? 2L : 0L);
    // Nobody vouches for the certificate: it must be the one seen first,
    // checked in the handshake, before the password goes out. Until one is
    // seen, libcurl tells what it was.
    if (!verify && !certificatePin_.isEmpty())
        curl_easy_setopt(handle_, CURLOPT_PINNEDPUBLICKEY, certificatePin_.constData());
    if (!verify && certificatePin_.isEmpty())
        curl_easy_setopt(handle_, CURLOPT_CERTINFO, 1L);
    // TLS 1.2 or newer. TLS 1.3 only keeps every byte of a store with the
    // draining close: without it libcurl 7.88 resets the data connection
    // under the server's feet.
    curl_easy_setopt(handle_, CURLOPT_SSLVERSION,
                     static_cast<long>(CURL_SSLVERSION_TLSv1_2) |
                         static_cast<long>(connection_->tls12Max ? CURL_SSLVERSION_MAX_TLSv1_2
                                                                 : CURL_SSLVERSION_MAX_DEFAULT));
    curl_easy_setopt(handle_, CURLOPT_CLOSESOCKETFUNCTION, &CloseDraining);
    // The connection keeps this for its whole life, which may be longer
    // than this publish's: the flag is the connection's own.
    curl_easy_setopt(handle_, CURLOPT_CLOSESOCKETDATA, &connection_->hurry);
    // As OpenSSL programs do, so that a company's own authority can be
    // trusted; libcurl otherwise uses its built-in bundle path only.
    caFile_ = qgetenv("SSL_CERT_FILE");
    caDir_ = qgetenv("SSL_CERT_DIR");
    if (!caFile_.isEmpty())
        curl_easy_setopt(handle_, CURLOPT_CAINFO, caFile_.constData());
    if (!caDir_.isEmpty())
        curl_easy_setopt(handle_, CURLOPT_CAPATH, caDir_.constData());
}
