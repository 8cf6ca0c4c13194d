#pragma once

#include "FailureWords.h"

#include <QString>

// The words for a failure the SFTP engine noted in the report's `engine`:
// empty where `code` is none of ssh's, or the engine noted nothing.
QString SftpFailureWords(qint32 code, const FailureWords& words);

// What the SFTP server and ssh said, for the end of a failure's words;
// empty where neither said anything.
QString SftpSaid(const FailureWords& words);
