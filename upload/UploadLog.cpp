#include "UploadLog.h"

// Warnings and worse by default; successes are asked for.
Q_LOGGING_CATEGORY(lcUpload, "harlune.upload", QtWarningMsg)
