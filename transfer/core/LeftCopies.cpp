#include "LeftCopies.h"

#include <QRandomGenerator>

#include <algorithm>

namespace {

constexpr qint64 Day = 86400;
// ls shows a year for a time more than six months gone.
constexpr qint64 HalfYear = 182 * Day;

bool isLowerHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

// "TOKEN.part" after the file's name and a dot, TOKEN of 8 to 16 digits.
bool isTokenTail(QByteArrayView tail) {
    const QByteArrayView suffix(".part");
    if (!tail.endsWith(suffix))
        return false;
    const QByteArrayView token = tail.first(tail.size() - suffix.size());
    return token.size() >= 8 && token.size() <= 16 &&
           std::all_of(token.begin(), token.end(), isLowerHex);
}

} // namespace

std::optional<qint64> AgeOf(const ListedTime& entry, const ListedTime& now) {
    if (entry.yearKnown && !now.yearKnown)
        return HalfYear;
    if (entry.yearKnown != now.yearKnown)
        return std::nullopt;
    qint64 age = now.seconds - entry.seconds;
    // Both without a year: a date later in the year than now is last year's.
    if (!entry.yearKnown && age < -Day)
        age += 365 * Day;
    return age - entry.precision;
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

QList<CopyVerdict> JudgeCopies(const QList<ListedEntry>& entries, const QString& finalBase,
                               const ListedTime& reference, std::chrono::seconds limit) {
    QList<CopyVerdict> verdicts;
    for (const ListedEntry& entry : entries) {
        if (entry.kind != ListedEntry::Kind::Regular || !IsCopyOf(entry.name, finalBase))
            continue;
        CopyVerdict verdict;
        verdict.name = entry.name;
        if (entry.changed)
            verdict.age = AgeOf(*entry.changed, reference);
        verdict.remove = verdict.age && *verdict.age > limit.count();
        verdicts << verdict;
    }
    return verdicts;
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
