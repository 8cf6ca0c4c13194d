#include "Destination.h"

#include "RemoteTarget.h"
#include "LogText.h"

QString DescribeDestination(const QString& HostName, const QString& username,
                            const QString& RemoteFileName) {
    QString server;
    if (auto endpoint = ParseRemoteHost(HostName)) {
        endpoint->portTyped = true;
        server = FormUrl(*endpoint);
        server.chop(1); // the trailing "/"
    } else {
        server = QStringLiteral("host \"%1\"").arg(LogText(HostName));
    }
    const QString user =
        username.isEmpty() ? QStringLiteral("anonymous") : u'"' + LogText(username) + u'"';
    return QStringLiteral("%1, remote path \"%2\", user %3")
        .arg(server, LogText(RemoteFileName), user);
}
