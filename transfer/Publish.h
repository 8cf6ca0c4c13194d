#pragma once

#include "PublishJob.h"

#include <atomic>

// Publishes `job` with the engine its transport names: libcurl for FTP and
// FTPS, OpenSSH's ssh for SFTP. The steps are the ladder's (PublishOver).
qint32 Publish(const PublishJob& job, const std::atomic<bool>& abort);
