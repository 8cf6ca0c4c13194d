#include "FailureWords.h"

#include "LogText.h"

#include <QFileInfo>

#include <cstring>

QString FailureWords::quoted(const QString& text) {
    return u'"' + LogText(text) + u'"';
}

QString FailureWords::systemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

QString FailureWords::masked(const QByteArray& text) const {
    return quoted(QString::fromUtf8(MaskSecret(text, job_.password.toUtf8())));
}

QString FailureWords::where() const {
    return QStringLiteral("%1 port %2").arg(quoted(job_.endpoint.host)).arg(job_.endpoint.port);
}

bool FailureWords::storing() const {
    return r_.action.startsWith("STOR ") || r_.action.startsWith("WRITE ");
}

QString FailureWords::refusedAction() const {
    return QStringLiteral("the server refused %1").arg(quoted(QString::fromUtf8(r_.action)));
}

QString FailureWords::remoteFolder() const {
    const QString folder = QFileInfo(job_.remoteFileName).path();
    return folder == QLatin1String(".") ? QStringLiteral("the log-in folder") : quoted(folder);
}

QString FailureWords::connectTimedOut() const {
    return QStringLiteral("could not connect to %1: no answer for %2 s")
        .arg(where())
        .arg(double(job_.timeouts.connect.count()) / 1000.0);
}

QString FailureWords::loginRefused() const {
    return QStringLiteral("log-in refused for user %1").arg(quoted(job_.userName));
}

QString FailureWords::noReply() const {
    return QStringLiteral("no answer from the server for %1 s")
        .arg(job_.timeouts.serverReply.count());
}

QString FailureWords::stalled() const {
    return QStringLiteral("the transfer stalled: no data moved for %1 s")
        .arg(job_.timeouts.stall.count());
}

QString FailureWords::connectionLost() const {
    return QStringLiteral("the connection to the server was lost");
}

QString FailureWords::aborted() const {
    return QStringLiteral("ended before it finished, as the program was closing");
}

QString FailureWords::refused() const {
    if (storing())
        return QStringLiteral("the server refused to store the file: the remote folder %1 "
                              "does not exist or cannot be written")
            .arg(remoteFolder());
    return refusedAction();
}

QString FailureWords::hostNotFound() const {
    return QStringLiteral("could not connect: the host name %1 was not found")
        .arg(quoted(job_.endpoint.host));
}

QString FailureWords::cannotConnect() const {
    return QStringLiteral("could not connect to %1: %2")
        .arg(where(),
             r_.osErrno ? systemError(r_.osErrno) : QStringLiteral("no connection could be made"));
}
