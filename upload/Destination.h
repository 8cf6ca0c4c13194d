#pragma once

#include <QString>

// Where an upload goes, for a log line: the scheme, host and port the host
// text comes to, the remote path and the user name. Never the password.
// Outside text is shown with its control characters escaped.
QString DescribeDestination(const QString& HostName, const QString& username,
                            const QString& RemoteFileName);
