#include "AskPass.h"
#include "TransferInet.h"
#include "CursorBlinkLimit.h"
#include "HeldSessions.h"
#include "SshCommand.h"
#include "frmUpload.h"

#include <QApplication>

#include <curl/curl.h>

#include <cstdlib>

#include <sys/resource.h>

int main(int argc, char* argv[]) {
    // The program holds the typed password from start to end: no core
    // file may carry it. (Not PR_SET_DUMPABLE: that would give
    // /proc/<pid> to root, and ssh opens its log through it.)
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    // ssh runs the program as its askpass, to ask for the typed password.
    if (std::getenv(AskPassVariable))
        return AskPassMain(argc, argv);
    // Before any thread exists: libcurl's global set-up is not thread-safe
    // on every build.
    curl_global_init(CURL_GLOBAL_DEFAULT);
    int rc = 0;
    {
        QApplication app(argc, argv);
        QApplication::setApplicationName(QStringLiteral(HARLUNE_APP_TITLE));
        QApplication::setApplicationVersion(QStringLiteral(HARLUNE_VERSION));
        const CursorBlinkLimit blinkLimit;
        frmUpload window(TransferInetFactory());
        window.show();
        rc = QApplication::exec();
        // The window is gone; the sessions held for the next upload say
        // goodbye (QUIT) within a bounded wait.
        CloseHeldSessions();
    }
    curl_global_cleanup();
    return rc;
}
