#include "FtpListing.h"

#include <array>

namespace {

constexpr qint64 Day = 86400;

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar.
qint64 daysFromCivil(qint64 year, int month, int day) {
    year -= month <= 2;
    const qint64 era = (year >= 0 ? year : year - 399) / 400;
    const qint64 yearOfEra = year - era * 400;
    const qint64 dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const qint64 dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

bool isLeap(qint64 year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int daysIn(qint64 year, int month) {
    static constexpr std::array<int, 12> days{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeap(year) ? 29 : days[month - 1];
}

// The time, where every part is in range; a leap second is let through.
std::optional<ListedTime> timeOf(qint64 year, int month, int day, int hour, int minute,
                                 int second) {
    if (month < 1 || month > 12 || day < 1 || day > daysIn(year, month) || hour > 23 ||
        minute > 59 || second > 60)
        return std::nullopt;
    ListedTime time;
    time.seconds = daysFromCivil(year, month, day) * Day + hour * 3600 + minute * 60 + second;
    return time;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The value of `text`, all of it decimal digits (at most nine).
std::optional<int> number(QByteArrayView text) {
    if (text.isEmpty() || text.size() > 9)
        return std::nullopt;
    int value = 0;
    for (const char c : text) {
        if (!isDigit(c))
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

// "YYYYMMDDHHMMSS", maybe with a fraction of a second, which is dropped.
std::optional<ListedTime> mlsdTime(QByteArrayView text) {
    if (text.size() > 14) {
        if (text[14] != '.' || text.size() == 15)
            return std::nullopt;
        for (const char c : text.sliced(15)) {
            if (!isDigit(c))
                return std::nullopt;
        }
        text = text.first(14);
    }
    if (text.size() != 14 || !number(text.first(8)) || !number(text.sliced(8)))
        return std::nullopt;
    const auto part = [&](qsizetype from, qsizetype size) {
        return *number(text.sliced(from, size));
    };
    return timeOf(part(0, 4), part(4, 2), part(6, 2), part(8, 2), part(10, 2), part(12, 2));
}

bool equalsNoCase(QByteArrayView a, QByteArrayView b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

bool startsWithNoCase(QByteArrayView text, QByteArrayView start) {
    return text.size() >= start.size() && equalsNoCase(text.first(start.size()), start);
}

// The last path part of a name as listed, where it can be named back to the
// server: a CR, LF or NUL would end or cut the command that names it.
std::optional<QByteArray> entryName(QByteArrayView name) {
    const qsizetype slash = name.lastIndexOf('/');
    if (slash >= 0)
        name = name.sliced(slash + 1);
    if (name.isEmpty() || name == "." || name == ".." || name.contains('\r') ||
        name.contains('\n') || name.contains('\0'))
        return std::nullopt;
    return name.toByteArray();
}

int monthOf(QByteArrayView text) {
    static constexpr std::array<const char*, 12> names{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    if (text.size() != 3)
        return 0;
    for (int i = 0; i < 12; ++i) {
        if (equalsNoCase(text, names[i]))
            return i + 1;
    }
    return 0;
}

bool isSpace(char c) {
    return c == ' ' || c == '\t';
}

struct Token {
    qsizetype from = 0;
    qsizetype to = 0;
};

// ls's date, "Dec  9 13:03", "Dec 09 13:03" or "Dec  9  2025": its form
// alone finds it; whether it is a true date decides only whether it gives
// a time.
bool isDateForm(QByteArrayView month, QByteArrayView day, QByteArrayView last) {
    const auto date = number(day);
    if (!monthOf(month) || day.size() > 2 || !date || *date < 1 || *date > 31)
        return false;
    if (!last.contains(':'))
        return last.size() == 4 && number(last);
    const qsizetype colon = last.indexOf(':');
    return (colon == 1 || colon == 2) && last.size() == colon + 3 && number(last.first(colon)) &&
           number(last.sliced(colon + 1));
}

std::optional<ListedTime> listTime(QByteArrayView month, QByteArrayView day, QByteArrayView last) {
    std::optional<ListedTime> time;
    if (!last.contains(':')) {
        time = timeOf(*number(last), monthOf(month), *number(day), 0, 0, 0);
        if (time)
            time->precision = Day;
    } else {
        // Within the last six months, without its year: counted in 2000,
        // a leap year, so that any 29 February fits; AgeOf gives it its year.
        const qsizetype colon = last.indexOf(':');
        time = timeOf(2000, monthOf(month), *number(day), *number(last.first(colon)),
                      *number(last.sliced(colon + 1)), 0);
        if (time) {
            time->yearKnown = false;
            time->precision = 60;
        }
    }
    // ls shows the server's local wall time.
    if (time)
        time->local = true;
    return time;
}

// "-rw-r--r--", maybe with an ACL or attribute mark after it.
bool isPermissionField(QByteArrayView field) {
    if (field.size() < 10)
        return false;
    for (const char c : field.sliced(1, 9)) {
        if (!QByteArrayView("-rwxsStTlL").contains(c))
            return false;
    }
    return true;
}

} // namespace

std::optional<ListedEntry> ParseMlsdLine(QByteArrayView line) {
    if (line.isEmpty())
        return std::nullopt;
    ListedEntry entry;
    QByteArrayView facts, name;
    if (line[0] == ' ') {
        // No facts at all: only the name is known.
        name = line.sliced(1);
    } else {
        // Fact values hold no "; ", and the facts end in ';' and one space.
        const qsizetype end = line.indexOf("; ");
        if (end < 0)
            return std::nullopt;
        facts = line.first(end);
        name = line.sliced(end + 2);
    }
    for (qsizetype from = 0; from < facts.size();) {
        qsizetype next = facts.indexOf(';', from);
        if (next < 0)
            next = facts.size();
        const QByteArrayView fact = facts.sliced(from, next - from);
        from = next + 1;
        const qsizetype equals = fact.indexOf('=');
        if (equals <= 0)
            continue;
        const QByteArrayView key = fact.first(equals), value = fact.sliced(equals + 1);
        if (equalsNoCase(key, "type")) {
            if (equalsNoCase(value, "file")) {
                entry.kind = ListedEntry::Kind::Regular;
            } else if (equalsNoCase(value, "dir")) {
                entry.kind = ListedEntry::Kind::Folder;
            } else if (equalsNoCase(value, "cdir") || equalsNoCase(value, "pdir")) {
                return std::nullopt; // the folder itself and its parent
            } else if (equalsNoCase(value, "OS.unix=symlink") ||
                       startsWithNoCase(value, "OS.unix=slink")) {
                entry.kind = ListedEntry::Kind::Symlink;
            } else {
                entry.kind = ListedEntry::Kind::Other;
            }
        } else if (equalsNoCase(key, "modify")) {
            entry.changed = mlsdTime(value);
        }
    }
    auto bytes = entryName(name);
    if (!bytes)
        return std::nullopt;
    entry.name = std::move(*bytes);
    return entry;
}

std::optional<ListedEntry> ParseListLine(QByteArrayView line) {
    qsizetype at = 0;
    const auto nextToken = [&]() -> std::optional<Token> {
        while (at < line.size() && isSpace(line[at]))
            ++at;
        if (at == line.size())
            return std::nullopt;
        Token token{at, at};
        while (at < line.size() && !isSpace(line[at]))
            ++at;
        token.to = at;
        return token;
    };
    const auto text = [&](const Token& token) {
        return line.sliced(token.from, token.to - token.from);
    };

    const auto permissions = nextToken();
    if (!permissions || !isPermissionField(text(*permissions)))
        return std::nullopt;
    ListedEntry entry;
    switch (line[permissions->from]) {
    case '-':
        entry.kind = ListedEntry::Kind::Regular;
        break;
    case 'd':
        entry.kind = ListedEntry::Kind::Folder;
        break;
    case 'l':
        entry.kind = ListedEntry::Kind::Symlink;
        break;
    default:
        entry.kind = ListedEntry::Kind::Other;
    }

    // Links, owner, group and size come first, the owner or the group left
    // out by some: the date is no sooner than the third field after the
    // permissions, so that an owner named "may" in group 12 with a size of
    // 2025 bytes is not taken for one.
    std::array<Token, 3> window;
    int seen = 0;
    for (;;) {
        const auto token = nextToken();
        if (!token)
            return std::nullopt;
        window = {window[1], window[2], *token};
        if (++seen >= 5 && isDateForm(text(window[0]), text(window[1]), text(window[2])))
            break;
    }
    // One space, then the name, leading spaces of its own kept.
    const qsizetype start = window[2].to + 1;
    if (start >= line.size())
        return std::nullopt;
    QByteArrayView name = line.sliced(start);
    if (entry.kind == ListedEntry::Kind::Symlink) {
        const qsizetype arrow = name.indexOf(" -> ");
        if (arrow >= 0)
            name = name.first(arrow);
    }
    auto bytes = entryName(name);
    if (!bytes)
        return std::nullopt;
    entry.name = std::move(*bytes);
    entry.changed = listTime(text(window[0]), text(window[1]), text(window[2]));
    return entry;
}

FtpListingReader::FtpListingReader(Format format,
                                   std::function<bool(const QByteArray& name)> wanted)
    : format_(format), wanted_(std::move(wanted)) {}

void FtpListingReader::feed(QByteArrayView bytes) {
    while (!bytes.isEmpty()) {
        const qsizetype end = bytes.indexOf('\n');
        const QByteArrayView piece = end < 0 ? bytes : bytes.first(end);
        bytes = end < 0 ? QByteArrayView() : bytes.sliced(end + 1);
        if (!skipping_ && partial_.size() + piece.size() > MaxLine) {
            partial_.clear();
            skipping_ = true;
        }
        if (end < 0) {
            if (!skipping_)
                partial_.append(piece);
            return;
        }
        if (skipping_) {
            // The end of a line too long to read.
            skipping_ = false;
            ++lines_;
        } else if (partial_.isEmpty()) {
            line(piece);
        } else {
            partial_.append(piece);
            line(partial_);
            partial_.clear();
        }
    }
}

void FtpListingReader::finish() {
    if (skipping_) {
        skipping_ = false;
        ++lines_;
    } else if (!partial_.isEmpty()) {
        line(partial_);
        partial_.clear();
    }
}

void FtpListingReader::line(QByteArrayView text) {
    ++lines_;
    if (text.endsWith('\r'))
        text.chop(1);
    if (entries_.size() >= MaxKept)
        return;
    auto entry = format_ == Format::Mlsd ? ParseMlsdLine(text) : ParseListLine(text);
    if (entry && wanted_(entry->name))
        entries_.append(std::move(*entry));
}
