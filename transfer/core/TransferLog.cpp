#include "TransferLog.h"

// Warnings and worse by default; the trace is asked for.
Q_LOGGING_CATEGORY(lcTransfer, "harlune.transfer", QtWarningMsg)
