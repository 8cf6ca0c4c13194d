// The program's window after one manual upload, its session held for the
// next: set up as main.cpp does, the fields filled, Upload clicked and the
// result box answered; then "uploaded <result>" is printed and the window
// sits idle until standard input ends, when the held session says goodbye.
//
//   bench_window_held HOST USER PASSWORD LOCAL [REMOTE_LOCATION]

#include "AskPass.h"
#include "TransferInet.h"
#include "TransferRuntime.h"
#include "CursorBlinkLimit.h"
#include "HeldSessions.h"
#include "WindowBoxes.h"
#include "frmUpload.h"

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>


#include <cstdio>
#include <unistd.h>

namespace {

constexpr int GiveUpMs = 60'000;
// The box is looked for this often until it is answered; then never again.
constexpr int PollMs = 50;

} // namespace

int main(int argc, char* argv[]) {
    if (argc < 5 || argc > 6) {
        std::fprintf(stderr, "usage: %s HOST USER PASSWORD LOCAL [REMOTE_LOCATION]\n", argv[0]);
        return 2;
    }
    const TransferRuntime::Guard runtime;
    int rc = 1;
    {
        QApplication app(argc, argv);
        QApplication::setApplicationName(QStringLiteral("Harlune Uploader"));
        SetAskPassProgram(QStringLiteral(HARLUNE_ASKPASS_PROGRAM));
        const CursorBlinkLimit blinkLimit;
        frmUpload window(TransferInetFactory());
        window.show();

        QPushButton* upload = FillWindow(window, argc, argv);
        if (!upload)
            return 1;

        QString result;
        QTimer poll;
        poll.setInterval(PollMs);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box)
                return;
            result = box->text();
            poll.stop();
            box->button(QMessageBox::Ok)->click();
        });
        QTimer giveUp;
        giveUp.setSingleShot(true);
        QObject::connect(&giveUp, &QTimer::timeout, &window, [&window] { window.close(); });
        giveUp.start(GiveUpMs);
        // The end of standard input ends the program, as closing the window would.
        QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
        QObject::connect(&input, &QSocketNotifier::activated, [&] {
            char buffer[64];
            if (::read(STDIN_FILENO, buffer, sizeof buffer) <= 0)
                QApplication::quit();
        });
        QTimer::singleShot(0, [&] {
            poll.start();
            upload->click(); // returns once the box has been answered
            giveUp.stop();
            std::printf("uploaded %s\n", result.isEmpty() ? "none" : qPrintable(result));
            std::fflush(stdout);
            if (result != QLatin1String("Success"))
                QApplication::quit();
        });
        QApplication::exec();
        CloseHeldSessions();
        rc = result == QLatin1String("Success") ? 0 : 1;
    }
    return rc;
}
