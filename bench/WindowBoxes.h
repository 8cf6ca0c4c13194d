#pragma once

#include "frmUpload.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QString>

#include <cstdio>

// Types into one of the window's boxes, found by its object name.
inline bool FillBox(frmUpload& window, const char* name, const QString& text) {
    auto* box = window.findChild<QLineEdit*>(QLatin1String(name));
    if (!box)
        return false;
    box->setText(text);
    return true;
}

// Types HOST USER PASSWORD LOCAL [REMOTE_LOCATION] from the command line
// into the window and finds Upload; the auto-upload box must be off. Null,
// with a word on standard error, when the window is not as expected.
inline QPushButton* FillWindow(frmUpload& window, int argc, char* argv[]) {
    const bool filled =
        FillBox(window, "txtDomain", QString::fromLocal8Bit(argv[1])) &&
        FillBox(window, "txtFTPUser", QString::fromLocal8Bit(argv[2])) &&
        FillBox(window, "txtFTPPass", QString::fromLocal8Bit(argv[3])) &&
        FillBox(window, "txtPathFile", QString::fromLocal8Bit(argv[4])) &&
        FillBox(window, "txtFTPLoc",
                argc == 6 ? QString::fromLocal8Bit(argv[5]) : QStringLiteral("public_html/"));
    auto* upload = window.findChild<QPushButton*>(QStringLiteral("cmdUpload"));
    auto* autoUpload = window.findChild<QCheckBox*>(QStringLiteral("chkFTP"));
    if (!filled || !upload || !autoUpload || autoUpload->isChecked()) {
        std::fprintf(stderr, "the window's controls are not as expected\n");
        return nullptr;
    }
    return upload;
}
