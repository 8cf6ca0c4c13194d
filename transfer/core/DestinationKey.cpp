#include "DestinationKey.h"

#include <QCryptographicHash>
#include <QRandomGenerator>

namespace {

QByteArray hashed(const QString& password) {
    // The password itself is no key: a hash with a salt of this run's own
    // tells a change without keeping it in another place.
    static const QByteArray salt = QByteArray::number(QRandomGenerator::system()->generate64());
    QByteArray salted = salt + password.toUtf8();
    const QByteArray hash = QCryptographicHash::hash(salted, QCryptographicHash::Sha256).toHex();
    salted.fill('\0');
    return hash;
}

SessionTls askedTls(const PublishJob& job) {
    switch (job.endpoint.transport) {
    case Transport::Ftp:
        switch (job.optionalTls) {
        case OptionalTls::Off:
            return SessionTls::None;
        case OptionalTls::Verified:
            return SessionTls::Verified;
        case OptionalTls::Unverified:
            return SessionTls::Unverified;
        }
        break;
    case Transport::FtpExplicitTls:
    case Transport::FtpImplicitTls:
        return SessionTls::Verified;
    case Transport::Sftp:
        break;
    }
    return SessionTls::None;
}

} // namespace

QByteArray DestinationKey::server() const {
    // Every part is joined by a byte no part can hold: HasUnsafeText
    // refuses NUL in a host and a user name before any publish starts.
    return QByteArray::number(static_cast<int>(transport)) + '\0' + host.toUtf8() + '\0' +
           QByteArray::number(port);
}

QByteArray DestinationKey::account() const {
    return server() + '\0' + userName.toUtf8() + '\0' + passwordHash;
}

QByteArray DestinationKey::session() const {
    return account() + '\0' + QByteArray::number(static_cast<int>(tls));
}

DestinationKey KeyFor(const PublishJob& job) {
    DestinationKey key;
    key.transport = job.endpoint.transport;
    key.host = job.endpoint.host;
    // The SFTP engine's own configuration may name another port for the
    // host than 22.
    const bool configured = key.transport == Transport::Sftp && !job.endpoint.portTyped;
    key.port = configured ? 0 : job.endpoint.port;
    key.userName = job.userName;
    key.passwordHash = hashed(job.password);
    key.tls = askedTls(job);
    return key;
}

DestinationKey WithTls(DestinationKey key, SessionTls tls) {
    key.tls = tls;
    return key;
}
