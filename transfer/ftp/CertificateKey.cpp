#include "CertificateKey.h"

#include <QCryptographicHash>

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <memory>

QByteArray PublicKeyPin(const QByteArray& pem) {
    const std::unique_ptr<BIO, decltype(&BIO_free)> bio(
        BIO_new_mem_buf(pem.constData(), static_cast<int>(pem.size())), &BIO_free);
    if (!bio)
        return {};
    const std::unique_ptr<X509, decltype(&X509_free)> certificate(
        PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr), &X509_free);
    if (!certificate)
        return {};
    unsigned char* der = nullptr;
    const int size = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(certificate.get()), &der);
    if (size <= 0)
        return {};
    const QByteArray key(reinterpret_cast<const char*>(der), size);
    OPENSSL_free(der);
    return "sha256//" + QCryptographicHash::hash(key, QCryptographicHash::Sha256).toBase64();
}
