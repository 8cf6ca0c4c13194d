#pragma once

#include <QString>
#include <QTest>

// A test that needs one of our loopback servers (vsftpd, sshd, proftpd,
// pure-ftpd, inetutils ftpd) skips where the server cannot run here: not
// root, or a package that cannot be fetched. Under CI=true every server must
// run, since a skip would pass a run that tested nothing: it fails there,
// with the same reason.
inline void SkipForServer(const QString& reason, const char* file, int line) {
    if (qEnvironmentVariable("CI") == QLatin1String("true"))
        QTest::qFail(qPrintable(QStringLiteral("a test server must run under CI=true: ") + reason),
                     file, line);
    else
        QTest::qSkip(qPrintable(reason), file, line);
}

// In a test function: skips it, or fails it under CI=true, and returns.
#define SKIP_FOR_SERVER(reason)                                                                    \
    do {                                                                                           \
        SkipForServer((reason), __FILE__, __LINE__);                                               \
        return;                                                                                    \
    } while (false)
