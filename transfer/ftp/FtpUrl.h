#pragma once

#include "RemoteTarget.h"

#include <QByteArray>
#include <QString>

// The address as libcurl wants it for FTP and FTPS: its scheme for the
// transport and always the port. Empty for SFTP, which libcurl does not run.
QByteArray CurlBaseUrl(const Endpoint& endpoint);

// The path part of an ftp:// URL for a remote name as typed: relative to
// the login directory, absolute when it starts with "/". Each segment is
// percent-encoded as UTF-8.
QByteArray EncodeRemotePath(const QString& remoteFileName);
