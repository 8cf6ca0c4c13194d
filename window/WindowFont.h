#pragma once

#include <QFont>

// The window's font, Tahoma 9.75 pt. Debian has no Tahoma of its own, but
// Wine's metric-compatible one (fonts-wine) is registered from its folder
// when fontconfig does not know it; without it the system's sans is used.
QFont WindowFont();
