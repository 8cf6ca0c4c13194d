#include "WindowFont.h"

#include <QFile>
#include <QFontDatabase>

namespace {

void registerTahoma() {
    static const bool once = [] {
        if (QFontDatabase::families().contains(QStringLiteral("Tahoma")))
            return true;
        const QString wineTahoma = QStringLiteral("/usr/share/wine/fonts/tahoma.ttf");
        if (QFile::exists(wineTahoma))
            QFontDatabase::addApplicationFont(wineTahoma);
        return true;
    }();
    Q_UNUSED(once);
}

} // namespace

QFont WindowFont() {
    registerTahoma();
    QFont font(QStringLiteral("Tahoma"));
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(9.75);
    font.setWeight(QFont::Normal);
    font.setItalic(false);
    font.setUnderline(false);
    font.setStrikeOut(false);
    return font;
}
