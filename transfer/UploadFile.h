#pragma once

#include "Inet.h"

#include <QString>

// One upload of one local file through a fresh transfer component. The
// window stays live while it waits: pending events are dispatched, so clicks
// and timer ticks may run nested inside it. Never throws; true only when the
// component reports no error.
bool UploadFile(const InetFactory& factory, QString HostName, QString username, QString password,
                QString LocalFileName, QString RemoteFileName);

// The same, and on failure `reason` says why in plain words (the
// component's ResponseInfo, or why no upload could be started).
bool UploadFile(const InetFactory& factory, QString HostName, QString username, QString password,
                QString LocalFileName, QString RemoteFileName, QString& reason);
