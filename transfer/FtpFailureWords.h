#pragma once

#include "FailureWords.h"

#include <QString>

// The FTP engine's words, from the FtpFailure it left in the report.
// Why it failed; empty where it noted no code of libcurl's.
QString FtpFailureWhy(const FailureWords& words);
// libcurl's own account, to follow the server's reply; empty where none.
QString FtpFailureDetail(const FailureWords& words);
// Why a bare host held to TLS was refused.
QString FtpDowngradeWhy(const FailureWords& words);
