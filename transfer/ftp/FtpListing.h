#pragma once

#include "LeftCopies.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

#include <functional>

// Reads an FTP folder listing as its bytes come off the data connection,
// line by line, and keeps only the entries `wanted` keeps, so that a
// folder of any size, a listing that never ends or a line of a megabyte
// costs bounded memory: a line longer than MaxLine is passed over whole,
// and at most MaxKept entries are kept.
//
// Mlsd: RFC 3659's "fact=value;...; name" lines; the kind from "type="
// (file, dir, cdir, pdir, OS.unix=symlink, OS.unix=slink:...), the time
// from "modify=YYYYMMDDHHMMSS[.sss]" (UTC, to the second).
// List: "ls -l" lines as vsftpd, proftpd, pure-ftpd, inetutils' ftpd and
// pyftpdlib send them, in a listing or in the answer to STAT of a folder; the kind from the
// first letter, the time from the date before the name ("Dec  9 13:03",
// "Dec 09 13:03" or "Dec  9  2025", in the server's local time), the name
// all after it but one space (a link's " -> target" cut off). Lines of other forms ("total 12", DOS
// listings) are passed over.
class FtpListingReader {
public:
    enum class Format { Mlsd, List };
    static constexpr qsizetype MaxLine = 64 * 1024;
    static constexpr qsizetype MaxKept = 1000;

    FtpListingReader(Format format, std::function<bool(const QByteArray& name)> wanted);

    void feed(QByteArrayView bytes);
    // The end of the listing: a last line without its line end is read.
    void finish();

    const QList<ListedEntry>& entries() const { return entries_; }
    // Lines read in all, kept or not, for the trace.
    qint64 lines() const { return lines_; }

private:
    void line(QByteArrayView text);

    Format format_;
    std::function<bool(const QByteArray&)> wanted_;
    QByteArray partial_;   // the start of a line whose end has not come
    bool skipping_ = false; // in a line longer than MaxLine, until its end
    QList<ListedEntry> entries_;
    qint64 lines_ = 0;
};

// One line of either format, or nullopt where it names no entry.
std::optional<ListedEntry> ParseMlsdLine(QByteArrayView line);
std::optional<ListedEntry> ParseListLine(QByteArrayView line);
