// Keeps one loopback FTP server of the test fixture running for the
// benchmark driver, which talks to it on standard input and output.
//
//   bench_server pyftpdlib|vsftpd [THROTTLE_BYTES_PER_S]
//
// Prints HOSTPORT, USER, PASSWORD and ROOT lines, then READY. Each "commands"
// line read prints the server's command log as "C <line>" lines and END;
// "quit" or the end of input stops the server.

#include "FtpTestServer.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const QString kind = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    if ((kind != QLatin1String("pyftpdlib") && kind != QLatin1String("vsftpd")) || argc > 3) {
        std::fprintf(stderr, "usage: %s pyftpdlib|vsftpd [THROTTLE_BYTES_PER_S]\n", argv[0]);
        return 2;
    }
    FtpTestServer server(kind == QLatin1String("vsftpd") ? FtpTestServer::Kind::Vsftpd
                                                         : FtpTestServer::Kind::Pyftpdlib);
    FtpTestServer::Options options;
    if (argc == 3)
        options.throttle = std::atoll(argv[2]);
    if (!server.start(options)) {
        const bool skip = !server.skipReason().isEmpty();
        std::printf("%s %s\n", skip ? "SKIP" : "ERROR", qPrintable(server.errorString()));
        return skip ? 77 : 1;
    }
    std::printf("HOSTPORT %s\nUSER %s\nPASSWORD %s\nROOT %s\nREADY\n",
                qPrintable(server.hostPort()), qPrintable(server.user()),
                qPrintable(server.password()), qPrintable(server.root()));
    std::fflush(stdout);

    std::string line;
    while (std::getline(std::cin, line) && line != "quit") {
        if (line == "commands") {
            for (const QString& command : server.commands())
                std::printf("C %s\n", command.toUtf8().constData());
            std::printf("END\n");
            std::fflush(stdout);
        }
    }
    server.stop();
    return 0;
}
