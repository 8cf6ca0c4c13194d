#pragma once

#include "frmUpload.h"

#include <QLineEdit>
#include <QString>

// Types into one of the window's boxes, found by its object name.
inline bool FillBox(frmUpload& window, const char* name, const QString& text) {
    auto* box = window.findChild<QLineEdit*>(QLatin1String(name));
    if (!box)
        return false;
    box->setText(text);
    return true;
}
