// Several publishes of one local file in one process, through UploadFile and
// the transfer component, one after another as the window's timer runs them.
// "held" keeps the session between publishes, so the second and later ones
// go out without a log-in; "fresh" closes it after each, so every publish
// logs in anew. Prints "publish <n> <ms>" for each (UploadFile's own time,
// closing a session excluded) and "ok 1" once all succeeded.
//
//   bench_publish HOST USER PASSWORD LOCAL REMOTE COUNT held|fresh [EVERY]
//
// With EVERY, a soak: instead of each publish's time it prints, after the
// first publish and after every EVERY-th, "sample <n> <RSS KiB> <open
// descriptors> <threads> <mean ms of the publishes since the last sample>",
// and gives up after 100 failed publishes.
//
// SFTP asks for a typed password through the built program's askpass.

#include "AskPass.h"
#include "TransferInet.h"
#include "TransferRuntime.h"
#include "HeldSessions.h"
#include "ProcStats.h"
#include "UploadFile.h"

#include <QCoreApplication>


#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char* argv[]) {
    const bool usage = argc == 8 || argc == 9;
    const bool held = usage && std::strcmp(argv[7], "held") == 0;
    const int count = usage ? std::atoi(argv[6]) : 0;
    const int every = argc == 9 ? std::atoi(argv[8]) : 0;
    if (count < 1 || every < 0 || (!held && std::strcmp(argv[7], "fresh") != 0)) {
        std::fprintf(stderr,
                     "usage: %s HOST USER PASSWORD LOCAL REMOTE COUNT held|fresh [EVERY]\n",
                     argv[0]);
        return 2;
    }
    const TransferRuntime::Guard runtime;
    int failed = 0;
    {
        QCoreApplication app(argc, argv);
        SetAskPassProgram(QStringLiteral(HARLUNE_ASKPASS_PROGRAM));
        const QString host = QString::fromLocal8Bit(argv[1]);
        const QString user = QString::fromLocal8Bit(argv[2]);
        const QString password = QString::fromLocal8Bit(argv[3]);
        const QString local = QString::fromLocal8Bit(argv[4]);
        const QString remote = QString::fromLocal8Bit(argv[5]);
        const InetFactory factory = TransferInetFactory();
        double sampleStart = bench::nowMs();
        int sinceSample = 0;
        for (int n = 1; n <= count && (every == 0 || failed < 100); ++n) {
            QString reason;
            const double start = bench::nowMs();
            const bool ok = UploadFile(factory, host, user, password, local, remote, reason);
            const double ms = bench::nowMs() - start;
            if (!ok) {
                std::fprintf(stderr, "publish %d failed: %s\n", n, qPrintable(reason));
                ++failed;
            } else if (every == 0) {
                std::printf("publish %d %.3f\n", n, ms);
                std::fflush(stdout);
            }
            if (!held)
                CloseHeldSessions();
            ++sinceSample;
            if (every > 0 && (n == 1 || n % every == 0)) {
                const double now = bench::nowMs();
                std::printf("sample %d %ld %ld %ld %.3f\n", n, bench::rssKiB(), bench::openFds(),
                            bench::threadCount(), (now - sampleStart) / sinceSample);
                std::fflush(stdout);
                sampleStart = now;
                sinceSample = 0;
            }
        }
        CloseHeldSessions();
    }
    std::printf("ok %d\n", failed == 0 ? 1 : 0);
    return failed == 0 ? 0 : 1;
}
