#pragma once

#include "PublishJob.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <chrono>
#include <optional>

// The copies a publish leaves beside the list when it does not end well
// (killed mid-store, the link broken, a removal refused), and how a later
// publish tells which of them are this program's own and no longer written
// by anyone. Pure decisions, no I/O: the engines list a folder and remove,
// the ladder asks here what to remove.

// When a listing says a file last changed, by the server's own clock. Only
// two times of one listing (or of one server's replies) are ever compared,
// never a server's time with this machine's.
struct ListedTime {
    // Seconds since 1970-01-01 00:00 in the listing's own time zone. Where
    // `yearKnown` is false (an "ls -l" date of the last six months, such as
    // "Dec  9 13:03"), counted as if the year were 2000.
    qint64 seconds = 0;
    bool yearKnown = true;
    // How much later than `seconds` the true time may be: 1 for a time to
    // the second (MLSD's modify, SFTP's mtime), 60 for ls's "13:03", 86400
    // for ls's "Dec  9  2025".
    qint64 precision = 1;
};

// How long before `now` the file `entry` changed, at least: the smallest
// age both times allow. nullopt where they cannot be compared (an ls date
// with its year against one without). An ls date shown with its year
// against `now` without one is at least the six months after which ls
// shows a year.
std::optional<qint64> AgeOf(const ListedTime& entry, const ListedTime& now);

// One name in a folder listing.
struct ListedEntry {
    enum class Kind { Regular, Folder, Link, Other };
    QByteArray name; // the last path part, bytes as the server sent them
    Kind kind = Kind::Other;
    std::optional<ListedTime> changed;
};

// Temporary copies are named after the file they replace, with a random
// token of 16 lowercase hexadecimal digits: ".NAME.TOKEN.part" (hidden) or
// "NAME.TOKEN.part" (visible). Versions before 1.00's second release wrote
// the token without its leading zeros, 8 to 16 digits in practice (one in
// four billion is shorter).
QString NewCopyToken();

// Whether `name` (a folder entry) is a temporary copy of this program's
// for the file named `finalBase` (its last path part), in either form, of
// this version or an earlier one. Nothing else: not "NAME.part", not
// "NAME.bak", not another list's copy.
bool IsCopyOf(const QByteArray& name, const QString& finalBase);
// The entries a look at the folder keeps: the list itself, whose time is
// "now" once it is published, and its copies.
bool IsListOrCopy(const QByteArray& name, const QString& finalBase);

// What to do with the entries of one listing: `finalBase`'s copies that
// are older than LongestSilence by the age of `reference`, an entry of the
// same listing or a time of the same server that is "now" (the list just
// published, or the copy just stored). Only regular files, and only where
// their age can be told.
struct CopyVerdict {
    QByteArray name;
    bool remove = false;
    std::optional<qint64> age; // seconds, where told
};
QList<CopyVerdict> JudgeCopies(const QList<ListedEntry>& entries, const QString& finalBase,
                               const ListedTime& reference, std::chrono::seconds limit);

// A listing's "now": the time of the one regular entry named `finalBase`;
// none where the list is missing, has no time, or is named more than once
// (a name holding a line feed can bring a line of its own).
std::optional<ListedTime> ListReferenceTime(const QList<ListedEntry>& entries,
                                            const QString& finalBase);

// "3 h", "25 min", "40 s": an age for the trace.
QByteArray DescribeAge(qint64 seconds);
