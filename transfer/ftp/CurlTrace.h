#pragma once

#include "ProtocolTrace.h"

#include <curl/curl.h>

// Turns libcurl's account of the conversation on `handle` into `trace`'s
// lines when debug messages of harlune.transfer are enabled; otherwise
// costs nothing.
void AttachTrace(CURL* handle, const ProtocolTrace& trace);

// What a line of the conversation looks like in the log: the argument of
// PASS reads as asterisks, found by its place in the line. The password
// itself is never searched for, since which words were masked would tell a
// short one.
QByteArray MaskedFtpLine(QByteArray line);
