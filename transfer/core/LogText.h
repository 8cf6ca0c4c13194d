#pragma once

#include <QByteArray>
#include <QString>

// Text from outside the program (a server's reply, a typed host, a path) made
// safe for one log line: control characters are shown as \xNN, C1 controls
// and format characters (bidirectional overrides) as \uNNNN, so that a
// reply can neither break a line in two, forge one of its own, steer a
// terminal nor reorder what it shows.
QString LogText(const QByteArray& utf8);
QString LogText(const QString& text);

// `text` with every occurrence of `secret`, as typed and percent-encoded,
// replaced by asterisks: for a server's words that may echo the password.
// A secret shorter than MaskedSecretLength is not searched for, since which
// words were masked would tell it ("ftp", "530"); an empty one masks
// nothing.
constexpr qsizetype MaskedSecretLength = 8;
QByteArray MaskSecret(QByteArray text, const QByteArray& secret);
