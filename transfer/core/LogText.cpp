#include "LogText.h"

#include <QUrl>

QString LogText(const QByteArray& utf8) {
    QByteArray shown;
    shown.reserve(utf8.size());
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f)
            shown += "\\x" + QByteArray::number(byte, 16).rightJustified(2, '0');
        else
            shown += c;
    }
    return QString::fromUtf8(shown);
}

QString LogText(const QString& text) {
    return LogText(text.toUtf8());
}

QByteArray MaskSecret(QByteArray text, const QByteArray& secret) {
    if (secret.isEmpty())
        return text;
    static const QByteArray stars("****");
    text.replace(secret, stars);
    const QByteArray encoded = QUrl::toPercentEncoding(QString::fromUtf8(secret));
    if (encoded != secret)
        text.replace(encoded, stars);
    return text;
}
