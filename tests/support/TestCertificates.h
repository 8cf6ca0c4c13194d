#pragma once

#include <QString>

// A test authority (dir/ca.pem) and a server certificate it signs for
// `certName` (dir/server.pem, key in dir/server.key), made with the openssl
// command. The key is ECDSA P-256, or RSA 2048 where `rsa` is set: some
// servers' stock TLS settings offer TLS 1.2 suites for RSA keys only.
// Empty on success, else what went wrong.
QString MakeTestCertificates(const QString& dir, const QString& certName, bool rsa = false);

// Both kinds for "localhost", in dir/ec and dir/rsa.
QString MakeTestCertificateKinds(const QString& dir);
