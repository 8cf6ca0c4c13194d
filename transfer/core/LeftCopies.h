#pragma once

#include "PublishJob.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <chrono>
#include <optional>

// The copies a publish leaves beside the list when it does not end well
// (killed mid-store, the connection broken, a removal refused), and how a later
// publish tells which of them are this program's own and no longer written
// by anyone. Pure decisions, no I/O: the engines list a folder and remove,
// the ladder asks here what to remove.

// When a listing says a file last changed, by the server's own clock. Only
// two times of one listing (or of one server's replies) are compared as
// ages; this machine's clock only gives a year to a date shown without one.
struct ListedTime {
    // Seconds since 1970-01-01 00:00 in the listing's own time zone. Where
    // `yearKnown` is false (an "ls -l" date such as "Dec  9 13:03"),
    // counted as if the year were 2000, a leap year, so that any 29
    // February fits; AgeOf gives it its year.
    qint64 seconds = 0;
    bool yearKnown = true;
    // How much later than `seconds` the true time may be: 1 for a time to
    // the second (a machine-readable listing's), 60 for a long listing's
    // "13:03", 86400 for its "Dec  9  2025".
    qint64 precision = 1;
    // The server's local wall time (a long listing's), not UTC (a
    // machine-readable listing's): two such
    // times may lie across a daylight-saving change.
    bool local = false;
};

// How long before `now` a file changed, both times of one listing.
struct ListedAge {
    // The smallest age both times allow: less the precisions, an hour
    // where both are local times (a daylight-saving change between them),
    // 14 hours where only one is (a zone's farthest offset from UTC).
    // Negative where the file may be younger than nothing.
    qint64 least = 0;
    // Dated later than `now`, whatever `least` says: by a date after now's
    // latest, or by an ls date shown with its year and less than half a
    // year before now (ls shows a year for a past date only once it is half
    // a year old, but for any date ahead of its clock). Such a file is
    // another clock's, never old.
    bool ahead = false;
};

// The age of `entry` at `now`. A date without a year is given the year
// that puts it nearest `machineNow` (this machine's clock, seconds since
// the epoch in UTC): ls leaves the year out only for the last half year,
// and a server's clock and zone are hours, not months, from this one's.
// Then the years are exact, leap years and New Year included. nullopt
// where no year fits.
std::optional<ListedAge> AgeOf(const ListedTime& entry, const ListedTime& now, qint64 machineNow);

// One name in a folder listing.
struct ListedEntry {
    enum class Kind { Regular, Folder, Symlink, Other };
    QByteArray name; // the last path part, bytes as the server sent them
    Kind kind = Kind::Other;
    std::optional<ListedTime> changed;
};

// Temporary copies are named after the file they replace, with a random
// token of 16 lowercase hexadecimal digits: ".NAME.TOKEN.part" (hidden) or
// "NAME.TOKEN.part" (visible). Versions before 1.00's second release wrote
// the token without its leading zeros, 8 to 15 digits (one in four billion
// is shorter); of those only a token with a letter a-f is taken for one,
// since digits alone are what people name copies by hand with: a date
// ("20261209"), a Unix time ("1765290000"). The rare old copy of digits
// alone (under one in 700 of the short tokens) is left alone.
QString NewCopyToken();

// Whether `name` (a folder entry) is a temporary copy of this program's
// for the file named `finalBase` (its last path part), in either form, of
// this version or an earlier one. Nothing else: not "NAME.part", not
// "NAME.bak", not a token in capitals, not another list's copy.
bool IsCopyOf(const QByteArray& name, const QString& finalBase);
// The entries of the folder's listing it keeps: the list itself, whose time is
// "now" once it is published, and its copies.
bool IsListOrCopy(const QByteArray& name, const QString& finalBase);

// The time of the list itself in its folder's listing: "now" once the list
// is published. Only from the one regular file named exactly `finalBase`;
// nullopt where there is none, it has no time, or the name is listed more
// than once (a name holding a line feed can bring a line of its own).
std::optional<ListedTime> ListReferenceTime(const QList<ListedEntry>& entries,
                                            const QString& finalBase);

// What to do with the entries of one listing: `finalBase`'s copies that
// are older than `limit` (LongestSilence) by the age of `reference`, an
// entry of the same listing or a time of the same server that is "now"
// (the list just published, or the copy just stored). Only regular files;
// every copy whose age cannot be told, or that is dated ahead, is kept.
struct CopyVerdict {
    // Why a copy is kept: its age is not told, it is dated later than now
    // (another clock's: listed again later), or it may still be written.
    enum class Kept { AgeUnknown, DatedAhead, Young };
    QByteArray name;
    bool remove = false;
    Kept kept = Kept::AgeUnknown; // where not removed
    std::optional<qint64> age;    // ListedAge's least, where told and not ahead
};
QList<CopyVerdict> JudgeCopies(const QList<ListedEntry>& entries, const QString& finalBase,
                               const ListedTime& reference, std::chrono::seconds limit,
                               qint64 machineNow);

// "3 h", "25 min", "40 s": an age for the trace.
QByteArray DescribeAge(qint64 seconds);
