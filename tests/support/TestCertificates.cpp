#include "TestCertificates.h"

#include "ServerLauncher.h"

#include <QDir>
#include <QFile>
#include <QProcess>

namespace {

constexpr int RunTimeoutMs = 15000;

// Runs a short command to its end; empty on success, else what went wrong.
QString run(const QString& program, const QStringList& arguments) {
    QProcess process;
    DieWithParent(process);
    process.start(program, arguments);
    if (!process.waitForFinished(RunTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        return program + QStringLiteral(" did not finish");
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return program + QStringLiteral(" failed (%1): ").arg(process.exitCode()) +
               QString::fromUtf8(process.readAllStandardError());
    return {};
}

} // namespace

QString MakeTestCertificates(const QString& dir, const QString& certName, bool rsa) {
    const auto path = [&](const char* name) { return dir + u'/' + QLatin1String(name); };
    const QString openssl = QStringLiteral("openssl");
    const QStringList ec{QStringLiteral("-newkey"), QStringLiteral("ec"),
                         QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"),
                         QStringLiteral("-nodes")};
    const QStringList serverKey =
        rsa ? QStringList{QStringLiteral("-newkey"), QStringLiteral("rsa:2048"),
                          QStringLiteral("-nodes")}
            : ec;
    QString error =
        run(openssl,
            QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + ec +
                QStringList{QStringLiteral("-keyout"), path("ca.key"), QStringLiteral("-out"),
                            path("ca.pem"), QStringLiteral("-days"), QStringLiteral("2"),
                            QStringLiteral("-subj"), QStringLiteral("/CN=Harlune Test Authority")});
    if (error.isEmpty())
        error = run(openssl,
                    QStringList{QStringLiteral("req")} + serverKey +
                        QStringList{QStringLiteral("-keyout"), path("server.key"),
                                    QStringLiteral("-out"), path("server.csr"),
                                    QStringLiteral("-subj"), QStringLiteral("/CN=") + certName});
    if (!error.isEmpty())
        return error;
    QFile ext(path("server.ext"));
    if (!ext.open(QIODevice::WriteOnly))
        return QStringLiteral("cannot write server.ext");
    ext.write("subjectAltName=DNS:" + certName.toUtf8() +
              "\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n");
    ext.close();
    return run(openssl,
               {QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"),
                path("server.csr"), QStringLiteral("-CA"), path("ca.pem"), QStringLiteral("-CAkey"),
                path("ca.key"), QStringLiteral("-CAcreateserial"), QStringLiteral("-out"),
                path("server.pem"), QStringLiteral("-days"), QStringLiteral("2"),
                QStringLiteral("-extfile"), path("server.ext")});
}

QString MakeTestCertificateKinds(const QString& dir) {
    for (const char* kind : {"ec", "rsa"}) {
        const QString certDir = dir + u'/' + QLatin1String(kind);
        if (!QDir().mkpath(certDir))
            return QStringLiteral("cannot create ") + certDir;
        const QString error = MakeTestCertificates(certDir, QStringLiteral("localhost"),
                                                   QLatin1String(kind) == "rsa");
        if (!error.isEmpty())
            return error;
    }
    return {};
}
