#pragma once

#include <QtGlobal>

#include <functional>

// Milliseconds since the system started, suspend included, as a 32-bit
// count that wraps after about 49.7 days.
quint32 TickCount();

using TickSource = std::function<quint32()>;
