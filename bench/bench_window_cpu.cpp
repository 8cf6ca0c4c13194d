// CPU time of one manual upload driven through the real window: the fields
// are filled, Upload is clicked, and the result box is answered once shown.
// Prints wall time and CPU time (all threads) from the click to the box.
//
//   bench_window_cpu HOST USER PASSWORD LOCAL [REMOTE_LOCATION]

#include "TransferInet.h"
#include "TransferRuntime.h"
#include "ProcStats.h"
#include "WindowBoxes.h"
#include "frmUpload.h"

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>


#include <cstdio>

namespace {

// Long enough for a throttled upload, short enough that a hang ends.
constexpr int GiveUpMs = 180'000;
// The box is looked for this often; rare enough to cost next to nothing.
constexpr int PollMs = 100;

} // namespace

int main(int argc, char* argv[]) {
    if (argc < 5 || argc > 6) {
        std::fprintf(stderr, "usage: %s HOST USER PASSWORD LOCAL [REMOTE_LOCATION]\n", argv[0]);
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    const TransferRuntime::Guard runtime;
    int rc = 1;
    {
        QApplication app(argc, argv);
        QApplication::setApplicationName(QStringLiteral("Harlune Uploader"));
        frmUpload window(TransferInetFactory());
        window.show();

        QPushButton* upload = FillWindow(window, argc, argv);
        if (!upload)
            return 1;

        double startMs = 0, startCpu = 0, endMs = 0, endCpu = 0;
        QString result;
        QTimer poll;
        poll.setInterval(PollMs);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box)
                return;
            endMs = bench::nowMs();
            endCpu = bench::cpuMs();
            result = box->text();
            poll.stop();
            box->button(QMessageBox::Ok)->click();
        });
        // Closing the window ends a waiting upload.
        QTimer::singleShot(GiveUpMs, &window, [&window] { window.close(); });
        QTimer::singleShot(0, [&] {
            poll.start();
            startMs = bench::nowMs();
            startCpu = bench::cpuMs();
            upload->click(); // returns once the box has been answered
            QApplication::quit();
        });
        QApplication::exec();

        const double wallMs = endMs - startMs;
        const double cpuMs = endCpu - startCpu;
        std::printf("result %s\nwall_ms %.1f\ncpu_ms %.1f\ncpu_percent %.4f\n",
                    result.isEmpty() ? "none" : qPrintable(result), wallMs, cpuMs,
                    wallMs > 0 ? 100.0 * cpuMs / wallMs : 0.0);
        rc = result == QLatin1String("Success") ? 0 : 1;
    }
    return rc;
}
