#include "CursorBlinkLimit.h"
#include "TransferInet.h"
#include "TransferRuntime.h"
#include "frmUpload.h"

#include <QApplication>

#include <sys/resource.h>

int main(int argc, char* argv[]) {
    // The program holds the typed password from start to end: no core
    // file may carry it. (Not PR_SET_DUMPABLE: that would give
    // /proc/<pid> to root, and ssh opens its log through it.)
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    int rc = 0;
    // ssh runs the program as its askpass, to ask for the typed password.
    if (TransferRuntime::runsAskPass(argc, argv, rc))
        return rc;
    // Before any thread exists.
    const TransferRuntime::Guard transfer;
    {
        QApplication app(argc, argv);
        QApplication::setApplicationName(QStringLiteral(HARLUNE_APP_TITLE));
        QApplication::setApplicationVersion(QStringLiteral(HARLUNE_VERSION));
        const CursorBlinkLimit blinkLimit;
        frmUpload window(TransferInetFactory());
        window.show();
        rc = QApplication::exec();
        // The window is gone; the sessions held for the next upload say
        // goodbye within a bounded wait.
        TransferRuntime::closeHeldSessions();
    }
    return rc;
}
