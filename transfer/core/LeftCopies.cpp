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

std::chrono::seconds LongestSilence(const TransferTimeouts& timeouts) {
    using std::chrono::seconds;
    // Waits for a reply after the copy's last write: the store's closing
    // reply, its size and mode, setting the mode, a rename (two requests)
    // refused, the removal and the rename again (three), and on a fresh
    // log-in that finishes it: the greeting, AUTH, USER, PASS, PBSZ, PROT,
    // PWD and the rename (three). SFTP's steps are fewer.
    static constexpr int ReplyWaits = 1 + 2 + 1 + 2 + 3 + 7 + 3;
    const auto longest = [](const TransferTimeouts& t) {
        const seconds reply = std::max(std::chrono::ceil<seconds>(t.serverReply),
                                       std::chrono::ceil<seconds>(t.stall));
        return std::chrono::ceil<seconds>(t.connect) + ReplyWaits * reply;
    };
    return std::max(longest(timeouts), longest(TransferTimeouts{}));
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
