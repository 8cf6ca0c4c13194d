#pragma once

#include <QLoggingCategory>

// The conversation with the server: the protocol trace, aborts and clean-up
// steps. Debug messages are off unless QT_LOGGING_RULES turns them on
// ("harlune.transfer.debug=true").
Q_DECLARE_LOGGING_CATEGORY(lcTransfer)
