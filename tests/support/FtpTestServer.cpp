#include "FtpTestServer.h"

#include "ServerLauncher.h"

#include <QRegularExpression>

bool FtpTestServer::start(const Options& options) {
    m_host = options.host;
    ServerConfig config;
    if (m_kind == Kind::Pyftpdlib) {
        QStringList flags{QStringLiteral("--host"),       options.host,
                          QStringLiteral("--mode"),       options.mode,
                          QStringLiteral("--drop-after"), QString::number(options.dropAfter),
                          QStringLiteral("--throttle"),   QString::number(options.throttle)};
        if (options.passivePorts > 0)
            flags << QStringLiteral("--passive-ports")
                  << QStringLiteral("%1-%2")
                         .arg(options.firstPassivePort)
                         .arg(options.firstPassivePort + options.passivePorts - 1);
        config = MakeServerConfig(QStringLiteral("pyftpdlib"), {}, QStringLiteral("ftpserver.py"),
                                  flags);
        config.user = options.user;
    } else {
        stop();
        if (options.mode != QLatin1String("normal") || options.dropAfter != 0 ||
            options.throttle != 0 || options.passivePorts != 0)
            return started(QStringLiteral("vsftpd has no test modes"));
        if (options.host != QLatin1String("127.0.0.1"))
            return started(QStringLiteral("vsftpd listens on 127.0.0.1 only"));
        config = MakeServerConfig(QStringLiteral("vsftpd"), {}, QStringLiteral("vsftpd.sh"));
    }
    config.password = options.password;
    if (started(TestServer::start(config)))
        return true;
    stop();
    return false;
}

QString FtpTestServer::hostPort() const {
    const QString host =
        m_host.contains(QLatin1Char(':')) ? QLatin1Char('[') + m_host + QLatin1Char(']') : m_host;
    return host + QLatin1Char(':') + QString::number(port());
}

QStringList FtpTestServer::commands() const {
    if (m_kind == Kind::Pyftpdlib)
        return ReadTextFile(commandLog()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);

    // vsftpd's protocol log: ... CONNECT: Client "127.0.0.1"
    //                        ... FTP command: Client "127.0.0.1", "STOR x"
    static const QRegularExpression command(
        QStringLiteral("FTP command: Client \"[^\"]*\", \"(.*)\"$"));
    QStringList result;
    const QStringList lines = ReadTextFile(logInLog()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        if (line.contains(QLatin1String("] CONNECT: Client ")))
            result << QStringLiteral("CONNECT");
        else if (const auto match = command.match(line); match.hasMatch())
            result << match.captured(1);
    }
    return result;
}
