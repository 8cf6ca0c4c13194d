#pragma once

#include "TestServer.h"

#include <QString>

// proftpd or pure-ftpd on 127.0.0.1, run from Debian's packages unpacked into
// a scratch folder (tests/servers/packaged-ftpd.sh). Needs root; each start()
// serves a fresh login directory holding an empty "public_html/".
class PackagedFtpServer : public TestServer {
public:
    enum class Kind { Proftpd, PureFtpd };

    explicit PackagedFtpServer(Kind kind) : m_kind(kind) {}

    // False with errorString() set, and skipReason() where it cannot run.
    bool start() {
        const QString name = m_kind == Kind::Proftpd ? "proftpd" : "pure-ftpd";
        return started(TestServer::start(MakeServerConfig(name, {}, name)));
    }

    QString hostPort() const { return QStringLiteral("127.0.0.1:") + QString::number(port()); }

private:
    Kind m_kind;
};
