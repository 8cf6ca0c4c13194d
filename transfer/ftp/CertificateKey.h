#pragma once

#include <QByteArray>

// The pin of a certificate's public key as libcurl's CURLOPT_PINNEDPUBLICKEY
// takes it ("sha256//" and the base64 of the SHA-256 of the DER-encoded
// public key), from the certificate in PEM as CURLINFO_CERTINFO gives it;
// empty where the text holds no certificate.
QByteArray PublicKeyPin(const QByteArray& pem);
