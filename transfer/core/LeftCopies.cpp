#include "LeftCopies.h"

#include <QDate>
#include <QRandomGenerator>

#include <algorithm>
#include <cstdlib>

namespace {

constexpr qint64 Day = 86400;
constexpr qint64 Hour = 3600;
// The fewest days after which a server's ls shows a year for a past date
// (180 to 183, by server): a date shown with its year that is younger is
// ahead of its clock.
constexpr qint64 YearShownAfter = 180 * Day;
// The farthest a local time is from UTC (UTC+14), and the most one zone's
// clock moves at a daylight-saving change.
constexpr qint64 FarthestZone = 14 * Hour;
constexpr qint64 SavingShift = Hour;

bool isLowerHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

// "TOKEN.part" after the file's name and a dot: TOKEN of 16 digits, or of
// 8 to 15 with a letter among them.
bool isTokenTail(QByteArrayView tail) {
    const QByteArrayView suffix(".part");
    if (!tail.endsWith(suffix))
        return false;
    const QByteArrayView token = tail.first(tail.size() - suffix.size());
    if (token.size() < 8 || token.size() > 16 ||
        !std::all_of(token.begin(), token.end(), isLowerHex))
        return false;
    return token.size() == 16 ||
           std::any_of(token.begin(), token.end(), [](char c) { return c >= 'a'; });
}

qint64 floorDiv(qint64 a, qint64 b) {
    return a / b - (a % b < 0);
}

// The seconds of `time` with its year: a date without one placed in the
// year nearest `machineNow`.
std::optional<qint64> placed(const ListedTime& time, qint64 machineNow) {
    if (time.yearKnown)
        return time.seconds;
    const QDate epoch(1970, 1, 1);
    const qint64 days = floorDiv(time.seconds, Day);
    const QDate date = epoch.addDays(days);
    if (date.year() != 2000)
        return std::nullopt;
    const qint64 clock = time.seconds - days * Day;
    const int year = epoch.addDays(floorDiv(machineNow, Day)).year();
    std::optional<qint64> nearest;
    // 29 February comes every four years (eight across a century).
    for (int y = year - 8; y <= year + 8; ++y) {
        const QDate day(y, date.month(), date.day());
        if (!day.isValid())
            continue;
        const qint64 at = epoch.daysTo(day) * Day + clock;
        if (!nearest || std::abs(at - machineNow) < std::abs(*nearest - machineNow))
            nearest = at;
    }
    return nearest;
}

} // namespace

std::optional<ListedAge> AgeOf(const ListedTime& entry, const ListedTime& now, qint64 machineNow) {
    const auto from = placed(entry, machineNow), to = placed(now, machineNow);
    if (!from || !to)
        return std::nullopt;
    const qint64 shift = entry.local != now.local ? FarthestZone
                         : entry.local            ? SavingShift
                                                  : 0;
    ListedAge age;
    age.least = *to - *from - entry.precision - shift;
    const bool yearShown = entry.local && entry.yearKnown;
    age.ahead = *from >= *to + now.precision || (yearShown && *to - *from < YearShownAfter);
    return age;
}

QString NewCopyToken() {
    return QStringLiteral("%1").arg(QRandomGenerator::system()->generate64(), 16, 16,
                                    QLatin1Char('0'));
}

bool IsCopyOf(const QByteArray& name, const QString& finalBase) {
    const QByteArray base = finalBase.toUtf8();
    if (base.isEmpty())
        return false;
    QByteArrayView rest(name);
    if (rest.startsWith('.'))
        rest = rest.sliced(1);
    if (!rest.startsWith(base) || rest.size() <= base.size() || rest[base.size()] != '.')
        return false;
    return isTokenTail(rest.sliced(base.size() + 1));
}

bool IsListOrCopy(const QByteArray& name, const QString& finalBase) {
    return name == finalBase.toUtf8() || IsCopyOf(name, finalBase);
}

std::optional<ListedTime> ListReferenceTime(const QList<ListedEntry>& entries,
                                            const QString& finalBase) {
    const QByteArray base = finalBase.toUtf8();
    const ListedEntry* list = nullptr;
    for (const ListedEntry& entry : entries) {
        if (entry.name != base)
            continue;
        if (list)
            return std::nullopt;
        list = &entry;
    }
    if (!list || list->kind != ListedEntry::Kind::Regular)
        return std::nullopt;
    return list->changed;
}

QList<CopyVerdict> JudgeCopies(const QList<ListedEntry>& entries, const QString& finalBase,
                               const ListedTime& reference, std::chrono::seconds limit,
                               qint64 machineNow) {
    QList<CopyVerdict> verdicts;
    for (const ListedEntry& entry : entries) {
        if (entry.kind != ListedEntry::Kind::Regular || !IsCopyOf(entry.name, finalBase))
            continue;
        CopyVerdict verdict;
        verdict.name = entry.name;
        const auto age = entry.changed ? AgeOf(*entry.changed, reference, machineNow)
                                       : std::nullopt;
        if (age && age->ahead) {
            verdict.kept = CopyVerdict::Kept::DatedAhead;
        } else if (age) {
            verdict.age = age->least;
            verdict.remove = age->least > limit.count();
            if (!verdict.remove)
                verdict.kept = CopyVerdict::Kept::Young;
        }
        verdicts << verdict;
    }
    return verdicts;
}

QByteArray DescribeAge(qint64 seconds) {
    // To the nearest unit: a copy of 2 h 59 min reads "3 h".
    const auto in = [seconds](qint64 unit) { return QByteArray::number((seconds + unit / 2) / unit); };
    if (seconds >= 2 * Day)
        return in(Day) + " days";
    if (seconds >= 3600 - 30)
        return in(3600) + " h";
    if (seconds >= 60 - 1)
        return in(60) + " min";
    return QByteArray::number(std::max<qint64>(seconds, 0)) + " s";
}
