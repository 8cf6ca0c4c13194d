#include "LogText.h"

#include <QUrl>

namespace {

// What a terminal or a text view acts on rather than shows: C0 and C1
// controls (ESC, CSI), DEL, and the format characters that reorder or hide
// text (bidirectional overrides and isolates, zero-width characters), with
// the line and paragraph separators.
bool actedOn(char32_t c) {
    if (c < 0x20 || (c >= 0x7f && c <= 0x9f))
        return true;
    switch (QChar::category(c)) {
    case QChar::Other_Format:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return true;
    default:
        return false;
    }
}

} // namespace

QString LogText(const QString& text) {
    QString shown;
    shown.reserve(text.size());
    for (const char32_t c : text.toUcs4()) {
        if (!actedOn(c))
            shown += QString::fromUcs4(&c, 1);
        else if (c < 0x80)
            shown += QStringLiteral("\\x%1").arg(uint(c), 2, 16, QLatin1Char('0'));
        else
            shown += QStringLiteral("\\u%1").arg(uint(c), 4, 16, QLatin1Char('0'));
    }
    return shown;
}

QString LogText(const QByteArray& utf8) {
    // Bytes that are no UTF-8 read as U+FFFD, which nothing acts on.
    return LogText(QString::fromUtf8(utf8));
}

QByteArray MaskSecret(QByteArray text, const QByteArray& secret) {
    if (secret.size() < MaskedSecretLength)
        return text;
    static const QByteArray stars("****");
    text.replace(secret, stars);
    const QByteArray encoded = QUrl::toPercentEncoding(QString::fromUtf8(secret));
    if (encoded != secret)
        text.replace(encoded, stars);
    return text;
}
