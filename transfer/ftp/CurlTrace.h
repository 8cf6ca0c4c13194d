#pragma once

#include "ProtocolTrace.h"

#include <curl/curl.h>

// Turns libcurl's account of the conversation on `handle` into `trace`'s
// lines when debug messages of harlune.transfer are enabled; otherwise
// costs nothing.
void AttachTrace(CURL* handle, const ProtocolTrace& trace);
