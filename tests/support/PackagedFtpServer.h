#pragma once

#include "TestServer.h"

#include <QString>

// proftpd or pure-ftpd on 127.0.0.1, run from Debian's packages unpacked into
// a scratch folder (tests/servers/packaged-ftpd.sh). Needs root; each start()
// serves a fresh login directory holding an empty "public_html/".
class PackagedFtpServer : private TestServer {
public:
    enum class Kind { Proftpd, PureFtpd };

    explicit PackagedFtpServer(Kind kind) : m_kind(kind) {}

    // False with errorString() set; where the server cannot run here also
    // skipReason() is set: see SKIP_FOR_SERVER.
    bool start() {
        const QString name = m_kind == Kind::Proftpd ? "proftpd" : "pure-ftpd";
        return m_outcome.take(TestServer::start(MakeServerConfig(name, {}, name)));
    }
    using TestServer::stop;

    QString errorString() const { return m_outcome.error; }
    QString skipReason() const { return m_outcome.skipReason; }

    QString hostPort() const { return QStringLiteral("127.0.0.1:") + QString::number(port()); }
    using TestServer::password;
    using TestServer::root;
    using TestServer::user;

    // Seeds as if uploaded earlier, owned by the session user.
    using TestServer::entries;
    using TestServer::remoteBytes;
    using TestServer::writeRemote;

private:
    Kind m_kind;
    StartOutcome m_outcome;
};
