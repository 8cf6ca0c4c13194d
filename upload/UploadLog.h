#pragma once

#include <QLoggingCategory>

// What uploads do: one warning per failure (or per run of identical
// failures), and info lines for successes, off unless QT_LOGGING_RULES turns
// them on ("harlune.upload.info=true").
Q_DECLARE_LOGGING_CATEGORY(lcUpload)
