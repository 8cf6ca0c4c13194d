#pragma once

#include <QByteArray>
#include <QString>

// Text from outside the program (a server's reply, a typed host, a path) made
// safe for one log line: control characters are shown as \xNN, so a reply
// cannot break a line in two or forge one of its own.
QString LogText(const QByteArray& utf8);
QString LogText(const QString& text);

// `text` with every occurrence of `secret`, as typed and percent-encoded,
// replaced by asterisks. An empty secret masks nothing.
QByteArray MaskSecret(QByteArray text, const QByteArray& secret);
