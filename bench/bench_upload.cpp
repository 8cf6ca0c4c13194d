// One upload of a local file through UploadFile and the transfer component,
// in a process of its own. Prints the component's response code, wall time,
// CPU time and peak RSS as "key value" lines.
//
//   bench_upload HOST USER PASSWORD LOCAL REMOTE [UPLOAD_BUFFER_BYTES]
//
// The buffer size is taken only by bench_upload_sweep.

#include "TransferInet.h"
#include "TransferRuntime.h"
#include "ProcStats.h"
#include "ResponseCodes.h"
#include "UploadFile.h"

#include <QCoreApplication>


#include <cstdio>
#include <cstdlib>

namespace {

// TransferInet as UploadFile gets it, keeping the response code once read so
// that a failure can be told apart after the component is gone.
class RecordingInet final : public Inet {
public:
    explicit RecordingInet(qint32& code) : code_(code) {}
    void SetProtocol(int protocol) override { inner_.SetProtocol(protocol); }
    void SetRemoteHost(const QString& host) override { inner_.SetRemoteHost(host); }
    void SetUserName(const QString& userName) override { inner_.SetUserName(userName); }
    void SetPassword(const QString& password) override { inner_.SetPassword(password); }
    QString URL() const override { return inner_.URL(); }
    void Execute(const QString& url, const QString& operation) override {
        inner_.Execute(url, operation);
    }
    bool StillExecuting() const override { return inner_.StillExecuting(); }
    qint32 ResponseCode() const override { return code_ = inner_.ResponseCode(); }
    void Abort() override { inner_.Abort(); }

private:
    TransferInet inner_;
    qint32& code_;
};

} // namespace

#ifdef HARLUNE_BENCH_SWEEP
namespace {
long uploadBuffer = 512L * 1024L;
}
long HarluneBenchUploadBuffer() {
    return uploadBuffer;
}
#endif

int main(int argc, char* argv[]) {
    if (argc < 6 || argc > 7) {
        std::fprintf(stderr, "usage: %s HOST USER PASSWORD LOCAL REMOTE [UPLOAD_BUFFER_BYTES]\n",
                     argv[0]);
        return 2;
    }
#ifdef HARLUNE_BENCH_SWEEP
    if (argc == 7)
        uploadBuffer = std::strtol(argv[6], nullptr, 10);
#else
    if (argc == 7) {
        std::fprintf(stderr, "the buffer size is taken by bench_upload_sweep only\n");
        return 2;
    }
#endif
    // As the program does: before any thread exists.
    const TransferRuntime::Guard runtime;
    bool ok = false;
    qint32 code = ResponseCodes::NoOperation;
    double elapsedMs = 0;
    double cpuMs = 0;
    {
        QCoreApplication app(argc, argv);
        const QString host = QString::fromLocal8Bit(argv[1]);
        const QString user = QString::fromLocal8Bit(argv[2]);
        const QString password = QString::fromLocal8Bit(argv[3]);
        const QString local = QString::fromLocal8Bit(argv[4]);
        const QString remote = QString::fromLocal8Bit(argv[5]);
        const double cpu0 = bench::cpuMs();
        const double start = bench::nowMs();
        const InetFactory factory = [&code]() -> std::unique_ptr<Inet> {
            return std::make_unique<RecordingInet>(code);
        };
        ok = UploadFile(factory, host, user, password, local, remote);
        elapsedMs = bench::nowMs() - start;
        cpuMs = bench::cpuMs() - cpu0;
    }
    std::printf("ok %d\ncode %d\nelapsed_ms %.3f\ncpu_ms %.3f\nvmhwm_kib %ld\n", ok ? 1 : 0, code,
                elapsedMs, cpuMs, bench::peakRssKiB());
    return ok ? 0 : 1;
}
