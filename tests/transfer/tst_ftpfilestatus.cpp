// What servers answer to MLST and STAT of one file, as the test servers
// (vsftpd, proftpd, pure-ftpd, inetutils' ftpd, pyftpdlib) sent it on
// loopback, and answers that must not be taken for a file; and the folder
// listings (MLSD, LIST -a) they send.
#include "FtpFileStatus.h"
#include "FtpListing.h"

#include <QDateTime>
#include <QTest>

namespace {

// Reply lines as libcurl hands them on, each with its CRLF.
QList<QByteArray> reply(std::initializer_list<const char*> lines) {
    QList<QByteArray> out;
    for (const char* line : lines)
        out << QByteArray(line) + "\r\n";
    return out;
}

// "nothing", "missing", "folder", "other", "link to <target>", or "size
// mode owner group" of a regular file.
QString describe(const std::optional<FileStatus>& status) {
    if (!status)
        return "nothing";
    if (!status->exists)
        return "missing";
    switch (status->kind) {
    case FileStatus::Kind::Regular:
        break;
    case FileStatus::Kind::Symlink:
        return "link to " + status->symlinkTarget;
    case FileStatus::Kind::Folder:
        return "folder";
    case FileStatus::Kind::Other:
        return "other";
    }
    return QStringLiteral("%1 %2 %3 %4")
        .arg(status->size ? QString::number(*status->size) : "-",
             status->mode ? "0" + QString::number(*status->mode, 8) : "-",
             status->owner.isEmpty() ? "-" : status->owner,
             status->group.isEmpty() ? "-" : status->group);
}

// Listing lines, each with its CRLF, as one piece.
QByteArray joined(std::initializer_list<const char*> lines) {
    QByteArray out;
    for (const char* line : lines)
        out += QByteArray(line) + "\r\n";
    return out;
}

// "f name @ 2026-12-09 13:10:43/1 | ... (N lines)": each kept entry's kind,
// bytes (but printable ASCII as \xHH) and time with its precision, "?"
// where the year is not known, "local" where it is the server's local
// time; the dates by Qt, not by the reader's sums.
QString readAll(FtpListingReader::Format format, const QList<QByteArray>& pieces) {
    FtpListingReader reader(format, [](const QByteArray&) { return true; });
    for (const QByteArray& piece : pieces)
        reader.feed(piece);
    reader.finish();
    QStringList out;
    for (const ListedEntry& entry : reader.entries()) {
        QString text = QString(QStringLiteral("fdlo")[int(entry.kind)]) + u' ';
        for (const char c : entry.name) {
            const auto byte = static_cast<unsigned char>(c);
            text += byte < 0x20 || byte > 0x7e || c == '\\'
                        ? QStringLiteral("\\x%1").arg(byte, 2, 16, QLatin1Char('0'))
                        : QString(QLatin1Char(c));
        }
        if (const auto& time = entry.changed)
            text += QStringLiteral(" @ %1%2/%3%4")
                        .arg(time->yearKnown ? "" : "?",
                             QDateTime::fromSecsSinceEpoch(time->seconds, Qt::UTC)
                                 .toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")))
                        .arg(time->precision)
                        .arg(time->local ? QStringLiteral(" local") : QString());
        out << text;
    }
    return out.join(QStringLiteral(" | ")) + QStringLiteral(" (%1 lines)").arg(reader.lines());
}

} // namespace

class tst_FtpFileStatus : public QObject {
    Q_OBJECT
private slots:
    void mlst_data();
    void mlst();
    void stat_data();
    void stat();
    void listing_data();
    void listing();
    void manyEntries();
};

void tst_FtpFileStatus::mlst_data() {
    QTest::addColumn<QList<QByteArray>>("lines");
    QTest::addColumn<QString>("status");

    // clang-format off
    QTest::newRow("proftpd: file in a subfolder") << reply({
        "250-Start of list for public_html/channel_list.txt",
        " modify=20261208125111;perm=adfrw;size=7;type=file;unique=FE00UA722BC;UNIX.group=65534;UNIX.groupname=harlune;UNIX.mode=0604;UNIX.owner=65534;UNIX.ownername=harlune; /public_html/channel_list.txt",
        "250 End of list"}) << "7 0604 65534 65534";
    // Group 33 is not in proftpd's own group file: its name there is wrong.
    QTest::newRow("proftpd: file in another group") << reply({
        "250-Start of list for public_html/other_group.txt",
        " modify=20261208125112;perm=adfrw;size=9;type=file;unique=FE00UA722BF;UNIX.group=33;UNIX.groupname=harlune;UNIX.mode=0640;UNIX.owner=65534;UNIX.ownername=harlune; /public_html/other_group.txt",
        "250 End of list"}) << "9 0640 65534 33";
    QTest::newRow("proftpd: name with a space") << reply({
        "250-Start of list for public_html/with space.txt",
        " modify=20261208125111;perm=adfrw;size=7;type=file;unique=FE00UA722BD;UNIX.group=65534;UNIX.groupname=harlune;UNIX.mode=0644;UNIX.owner=65534;UNIX.ownername=harlune; /public_html/with space.txt",
        "250 End of list"}) << "7 0644 65534 65534";
    QTest::newRow("proftpd: setuid, setgid, sticky, after OPTS MLST") << reply({
        "250-Start of list for public_html/odd.txt",
        " size=7;type=file;UNIX.group=65534;UNIX.mode=07754;UNIX.owner=65534; /public_html/odd.txt",
        "250 End of list"}) << "7 07754 65534 65534";
    QTest::newRow("proftpd: missing") << reply({"550 'public_html/missing.txt' cannot be listed"}) << "missing";
    QTest::newRow("proftpd: folder") << reply({
        "250-Start of list for public_html",
        " modify=20261208125212;perm=flcdmpe;type=dir;unique=FE00UA724A5;UNIX.group=65534;UNIX.groupname=harlune;UNIX.mode=0755;UNIX.owner=65534;UNIX.ownername=harlune; /public_html",
        "250 End of list"}) << "folder";
    QTest::newRow("pure-ftpd: file in a subfolder") << reply({
        "250-Begin",
        " type=file;size=7;modify=20261208125120;UNIX.mode=0604;UNIX.uid=65534;UNIX.gid=65534;unique=fe00ga723eb; public_html/channel_list.txt",
        "250 End."}) << "7 0604 65534 65534";
    QTest::newRow("pure-ftpd: file in another group") << reply({
        "250-Begin",
        " type=file;size=9;modify=20261208125120;UNIX.mode=0640;UNIX.uid=65534;UNIX.gid=33;unique=fe00ga723ee; public_html/other_group.txt",
        "250 End."}) << "9 0640 65534 33";
    QTest::newRow("pure-ftpd: name with a space") << reply({
        "250-Begin",
        " type=file;size=7;modify=20261208125120;UNIX.mode=0644;UNIX.uid=65534;UNIX.gid=65534;unique=fe00ga723ec; public_html/with space.txt",
        "250 End."}) << "7 0644 65534 65534";
    QTest::newRow("pure-ftpd: missing") << reply({"550 Can't check for file existence"}) << "missing";
    QTest::newRow("pure-ftpd: folder") << reply({
        "250-Begin",
        " type=dir;sizd=4096;modify=20261208125215;UNIX.mode=0755;UNIX.uid=65534;UNIX.gid=65534;unique=fe00ga726b0; public_html",
        "250 End."}) << "folder";
    // pyftpdlib tells the mode only after OPTS MLST asks for it, in
    // Python's notation and without setuid, setgid and sticky bits.
    QTest::newRow("pyftpdlib: default status") << reply({
        "250-Listing \"/public_html/channel_list.txt\":",
        " modify=20261208125128;perm=radfwMT;size=7;type=file;unique=fe00ga7243d; /public_html/channel_list.txt",
        "250 End MLST."}) << "7 - - -";
    QTest::newRow("pyftpdlib: after OPTS MLST") << reply({
        "250-Listing \"/public_html/odd.txt\":",
        " size=7;type=file;unix.gid=0;unix.mode=0o754;unix.uid=0; /public_html/odd.txt",
        "250 End MLST."}) << "7 0754 0 0";
    QTest::newRow("pyftpdlib: missing") << reply({"550 No such file or directory."}) << "missing";
    QTest::newRow("vsftpd: no MLST") << reply({"500 Unknown command."}) << "nothing";
    QTest::newRow("inetutils ftpd: no MLST") << reply({"500 'MLST public_html/channel_list.txt': command not recognized"}) << "nothing";
    QTest::newRow("not implemented") << reply({"502 Command not implemented."}) << "nothing";
    QTest::newRow("not for that parameter") << reply({"504 Not implemented for that parameter."}) << "nothing";
    QTest::newRow("not logged in") << reply({"530 Please login with USER and PASS."}) << "nothing";

    // What must not pass for a file.
    QTest::newRow("lines end in LF only") << QList<QByteArray>{
        "250-x\n", " size=3;type=file;UNIX.mode=0600; a\n", "250 End\n"} << "3 0600 - -";
    QTest::newRow("no end line") << reply({
        "250-Begin", " type=file;size=7;UNIX.mode=0604; a"}) << "nothing";
    QTest::newRow("a second reply after the end") << reply({
        "250-Begin", " type=file;size=7; a", "250 End.", "250 End."}) << "nothing";
    QTest::newRow("two fact lines") << reply({
        "250-Begin", " type=file;size=7; a", " type=file;size=8; b", "250 End."}) << "nothing";
    QTest::newRow("no fact line") << reply({"250-Begin", "250 End."}) << "nothing";
    QTest::newRow("single-line 250") << reply({"250 type=file;size=7; a"}) << "nothing";
    QTest::newRow("no type") << reply({"250-Begin", " size=7;UNIX.mode=0644; a", "250 End."}) << "nothing";
    QTest::newRow("pure-ftpd: a link, its target not told") << reply({"250-Begin", " type=OS.unix=slink:;size=20;UNIX.mode=0777; public_html/channel_list.txt", "250 End."}) << "link to ";
    QTest::newRow("symbolic link") << reply({"250-Begin", " type=OS.unix=slink:/x;size=7; a", "250 End."}) << "link to /x";
    QTest::newRow("no path") << reply({"250-Begin", " type=file;size=7;", "250 End."}) << "nothing";
    QTest::newRow("status not ended by ;") << reply({"250-Begin", " type=file;size=7 a", "250 End."}) << "nothing";
    QTest::newRow("size not a number") << reply({"250-Begin", " type=file;size=-7; a", "250 End."}) << "nothing";
    QTest::newRow("size beyond 64 bits") << reply({"250-Begin", " type=file;size=99999999999999999999; a", "250 End."}) << "nothing";
    QTest::newRow("mode not octal") << reply({"250-Begin", " type=file;UNIX.mode=0648; a", "250 End."}) << "nothing";
    QTest::newRow("mode with file type bits") << reply({"250-Begin", " type=file;UNIX.mode=100644; a", "250 End."}) << "nothing";
    QTest::newRow("control character in the owner") << reply({"250-Begin", " type=file;UNIX.owner=a\x03" "b; a", "250 End."}) << "nothing";
    QTest::newRow("no-break space in the owner") << reply({"250-Begin", " type=file;UNIX.owner=a\xc2\xa0" "b; a", "250 End."}) << "nothing";
    QTest::newRow("fact without =") << reply({"250-Begin", " type=file;size; a", "250 End."}) << "nothing";
    QTest::newRow("other code on the end line") << reply({"250-Begin", " type=file; a", "251 End."}) << "nothing";
    QTest::newRow("no lines") << QList<QByteArray>{} << "nothing";
    QTest::newRow("no code") << reply({"Begin", " type=file; a", "250 End."}) << "nothing";
    // clang-format on
}

void tst_FtpFileStatus::mlst() {
    QFETCH(QList<QByteArray>, lines);
    QFETCH(QString, status);
    QCOMPARE(describe(StatusFromMlst(lines)), status);
}

void tst_FtpFileStatus::stat_data() {
    QTest::addColumn<QList<QByteArray>>("lines");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("status");

    const QString final = "public_html/channel_list.txt";
    const QString spaced = "public_html/with space.txt";
    // clang-format off
    QTest::newRow("vsftpd: file in a subfolder") << reply({
        "213-Status follows:",
        "-rw----r--    1 1001     1001            7 Dec 08 12:50 channel_list.txt",
        "213 End of status"}) << final << "7 0604 1001 1001";
    QTest::newRow("vsftpd: file in another group") << reply({
        "213-Status follows:",
        "-rw-r-----    1 1001     33              9 Dec 08 12:50 other_group.txt",
        "213 End of status"}) << "public_html/other_group.txt" << "9 0640 1001 33";
    QTest::newRow("vsftpd: name with a space") << reply({
        "213-Status follows:",
        "-rw-r--r--    1 1001     1001            7 Dec 08 12:50 with space.txt",
        "213 End of status"}) << spaced << "7 0644 1001 1001";
    QTest::newRow("vsftpd: in the log-in folder, a year old") << reply({
        "213-Status follows:",
        "-rwsr-sr-T    1 1001     1001            7 Jan 05  2020 odd.txt",
        "213 End of status"}) << "odd.txt" << "7 07754 1001 1001";
    QTest::newRow("vsftpd: missing") << reply({"213-Status follows:", "213 End of status"}) << final << "missing";
    QTest::newRow("vsftpd: missing, with a space") << reply({"213-Status follows:", "213 End of status"}) << spaced << "nothing";
    QTest::newRow("vsftpd: the folder's listing") << reply({
        "213-Status follows:",
        "drwxr-xr-x    2 1001     1001         4096 Dec 08 12:50 .",
        "drwxr-xr-x    3 1001     1001         4096 Dec 08 12:50 ..",
        "-rw----r--    1 1001     1001            7 Dec 08 12:50 channel_list.txt",
        "-rw-r-----    1 1001     33              7 Dec 08 12:50 other_group.txt",
        "-rw-r--r--    1 1001     1001            7 Dec 08 12:50 with space.txt",
        "213 End of status"}) << "public_html/other_group.txt" << "7 0640 1001 33";
    QTest::newRow("proftpd: file in a subfolder") << reply({
        "213-Status of public_html/channel_list.txt:",
        " -rw----r--   1 harlune  harlune         7 Dec  8 12:51 public_html/channel_list.txt",
        "213 End of status"}) << final << "7 0604 harlune harlune";
    QTest::newRow("proftpd: file in another group") << reply({
        "213-Status of public_html/other_group.txt:",
        " -rw-r-----   1 harlune  33              9 Dec  8 12:51 public_html/other_group.txt",
        "213 End of status"}) << "public_html/other_group.txt" << "9 0640 harlune 33";
    QTest::newRow("proftpd: name with a space") << reply({
        "213-Status of public_html/with space.txt:",
        " -rw-r--r--   1 harlune  harlune         7 Dec  8 12:51 public_html/with space.txt",
        "213 End of status"}) << spaced << "7 0644 harlune harlune";
    QTest::newRow("proftpd: a year old") << reply({
        "213-Status of public_html/odd.txt:",
        " -rwsr-sr-T   1 harlune  harlune         7 Jan  5  2020 public_html/odd.txt",
        "213 End of status"}) << "public_html/odd.txt" << "7 07754 harlune harlune";
    QTest::newRow("proftpd: missing") << reply({"450 public_html/missing.txt: No such file or directory"}) << final << "missing";
    QTest::newRow("proftpd: the folder's listing, 212") << reply({
        "212-Status of public_html:",
        " drwxr-xr-x   2 harlune  harlune      4096 Dec  8 12:51 .",
        " -rw----r--   1 harlune  harlune         7 Dec  8 12:51 channel_list.txt",
        " -rw-r--r--   1 harlune  harlune         7 Dec  8 12:51 with space.txt",
        "212 End of status"}) << "with space.txt" << "7 0644 harlune harlune";
    QTest::newRow("pure-ftpd: file in a subfolder") << reply({
        "213-STAT",
        "-rw----r--    1 65534      nogroup             7 Dec  8 12:51 public_html/channel_list.txt",
        "213 End."}) << final << "7 0604 65534 nogroup";
    QTest::newRow("pure-ftpd: missing") << reply({"213-STAT", "213 End."}) << final << "missing";
    // pure-ftpd reads a space as the end of the name: no line, yet the file is there.
    QTest::newRow("pure-ftpd: name with a space") << reply({"213-STAT", "213 End."}) << spaced << "nothing";
    QTest::newRow("inetutils ftpd: file in a subfolder") << reply({
        "211- status of public_html/channel_list.txt:",
        "-rw----r--  1 harlunefacts  harlunefacts  7 Dec  8 12:51 public_html/channel_list.txt",
        "211 End of Status"}) << final << "7 0604 harlunefacts harlunefacts";
    QTest::newRow("inetutils ftpd: missing") << reply({
        "211- status of public_html/missing.txt:",
        "public_html/missing.txt: No such file or directory",
        "211 End of Status"}) << "public_html/missing.txt" << "missing";
    QTest::newRow("inetutils ftpd: name with a space") << reply({
        "211- status of public_html/with space.txt:",
        "public_html/with: No such file or directory",
        "space.txt: No such file or directory",
        "211 End of Status"}) << spaced << "nothing";
    QTest::newRow("inetutils ftpd: the folder's listing, with total") << reply({
        "211- status of public_html:",
        "total 12",
        "-rw----r--  1 harlunefacts  harlunefacts  7 Dec  8 12:51 channel_list.txt",
        "-rw-r-----  1 harlunefacts  www-data      7 Dec  8 12:51 other_group.txt",
        "211 End of Status"}) << "public_html/other_group.txt" << "7 0640 harlunefacts www-data";
    QTest::newRow("pyftpdlib: file in a subfolder") << reply({
        "213-Status of \"/public_html/channel_list.txt\":",
        "-rw----r--   1 root     root            7 Dec 08 12:51 channel_list.txt",
        "213 End of status."}) << final << "7 0604 root root";
    QTest::newRow("pyftpdlib: missing") << reply({"550 No such file or directory."}) << final << "missing";

    // What must not pass for the file.
    QTest::newRow("every line led by the code") << reply({
        "213-status",
        "213--rw-r--r--   1 ftp      ftp             7 Dec  8 12:51 channel_list.txt",
        "213 End"}) << final << "7 0644 ftp ftp";
    QTest::newRow("another file only") << reply({
        "213-STAT", "-rw-r--r--    1 65534      nogroup             7 Dec  8 12:51 channel_list.txt.old", "213 End."})
        << final << "missing";
    QTest::newRow("a folder of that name") << reply({
        "213-STAT", "drwxr-xr-x    2 65534      nogroup          4096 Dec  8 12:51 channel_list.txt", "213 End."})
        << final << "folder";
    QTest::newRow("a link of that name") << reply({
        "213-STAT", "lrwxrwxrwx    1 65534      nogroup             5 Dec  8 12:51 channel_list.txt -> other", "213 End."})
        << final << "link to other";
    QTest::newRow("vsftpd: a folder, listed by its own entries") << reply({
        "213-Status follows:",
        "drwxr-xr-x    2 1004     1004         4096 Dec 08 23:06 .",
        "drwxr-xr-x    3 1004     1004         4096 Dec 08 23:06 ..",
        "213 End of status"}) << final << "folder";
    QTest::newRow("proftpd: a link round in a loop") << reply({
        "450 public_html/channel_list.txt: Too many levels of symbolic links"}) << final << "link to ";
    QTest::newRow("inetutils: a link, the path as asked") << reply({
        "211- status of public_html/channel_list.txt:",
        "lrwxrwxrwx  1 u  u  20 Dec  8 23:06 public_html/channel_list.txt -> ../lists/missing.txt",
        "211 End of Status"}) << final << "link to ../lists/missing.txt";
    QTest::newRow("two lines of that name") << reply({
        "213-STAT",
        "-rw-r--r--    1 1 1 7 Dec  8 12:51 channel_list.txt",
        "-rw-r--r--    1 1 1 8 Dec  8 12:51 channel_list.txt",
        "213 End."}) << final << "nothing";
    QTest::newRow("no group column") << reply({
        "213-STAT", "-rw-r--r--    1 65534      7 Dec  8 12:51 channel_list.txt", "213 End."})
        << final << "nothing";
    QTest::newRow("unknown month") << reply({
        "213-STAT", "-rw-r--r--    1 a b 7 Dez  8 12:51 channel_list.txt", "213 End."})
        << final << "nothing";
    QTest::newRow("bad permission letter") << reply({
        "213-STAT", "-rwzr--r--    1 a b 7 Dec  8 12:51 channel_list.txt", "213 End."})
        << final << "nothing";
    QTest::newRow("size beyond 64 bits") << reply({
        "213-STAT", "-rw-r--r--    1 a b 99999999999999999999 Dec  8 12:51 channel_list.txt", "213 End."})
        << final << "nothing";
    QTest::newRow("control character in the group") << reply({
        "213-STAT", "-rw-r--r--    1 a www\x03" "data 7 Dec  8 12:51 channel_list.txt", "213 End."})
        << final << "nothing";
    QTest::newRow("no-break space in the owner") << reply({
        "213-STAT", "-rw-r--r--    1 ha\xc2\xa0" "une 33 7 Dec  8 12:51 channel_list.txt", "213 End."})
        << final << "nothing";
    QTest::newRow("missing another file") << reply({
        "211- status", "other.txt: No such file or directory", "211 End"}) << final << "nothing";
    QTest::newRow("no end line") << reply({
        "213-STAT", "-rw-r--r--    1 a b 7 Dec  8 12:51 channel_list.txt"}) << final << "nothing";
    QTest::newRow("single-line 213") << reply({"213 -rw-r--r-- 1 a b 7 Dec  8 12:51 channel_list.txt"}) << final << "nothing";
    QTest::newRow("unknown command") << reply({"500 Unknown command."}) << final << "nothing";
    QTest::newRow("not implemented") << reply({"502 Command not implemented."}) << final << "nothing";
    QTest::newRow("not for that parameter") << reply({"504 Not implemented for that parameter."}) << final << "nothing";
    QTest::newRow("server status, not a file") << reply({
        "211-FTP server status:", "     Connected to 127.0.0.1", "211 End of status"}) << final << "nothing";
    // clang-format on
}

void tst_FtpFileStatus::stat() {
    QFETCH(QList<QByteArray>, lines);
    QFETCH(QString, path);
    QFETCH(QString, status);
    QCOMPARE(describe(StatusFromStat(lines, path)), status);
}

void tst_FtpFileStatus::listing_data() {
    QTest::addColumn<FtpListingReader::Format>("format");
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<QString>("entries");

    const auto mlsd = FtpListingReader::Format::Mlsd;
    const auto list = FtpListingReader::Format::List;
    // clang-format off
    // Real listings of one folder, 2026-12-09 13:10 UTC: a hidden copy, a
    // link to channel_list.txt, a folder, a file a year older; the
    // servers' own "." and ".." go.
    const QString hidden = "f .channel_list.txt.0123456789abcdef.part";
    QTest::newRow("proftpd: MLSD") << mlsd << QList<QByteArray>{joined({
        "modify=20261209131043;perm=flcdmpe;type=cdir;unique=FE00UA72267;UNIX.group=65534;UNIX.groupname=harlune;UNIX.mode=0755;UNIX.owner=65534;UNIX.ownername=harlune; .",
        "modify=20261209131043;perm=adfrw;size=5;type=file;unique=FE00UA72271;UNIX.group=0;UNIX.groupname=harlune;UNIX.mode=0644;UNIX.owner=65534;UNIX.ownername=harlune; .channel_list.txt.0123456789abcdef.part",
        "modify=20261209131043;perm=adfrw;size=16;type=OS.unix=symlink;unique=FE00UA7226E;UNIX.group=0;UNIX.groupname=harlune;UNIX.mode=0777;UNIX.owner=65534;UNIX.ownername=harlune; link",
        "modify=20261209131043;perm=flcdmpe;type=pdir;unique=FE00UA72266;UNIX.group=65534;UNIX.groupname=harlune;UNIX.mode=0755;UNIX.owner=65534;UNIX.ownername=harlune; ..",
        "modify=20261209131043;perm=flcdmpe;type=dir;unique=FE00UA72275;UNIX.group=0;UNIX.groupname=harlune;UNIX.mode=0755;UNIX.owner=65534;UNIX.ownername=harlune; folder",
        "modify=20251209131043;perm=adfrw;size=4;type=file;unique=FE00UA72277;UNIX.group=0;UNIX.groupname=harlune;UNIX.mode=0644;UNIX.owner=65534;UNIX.ownername=harlune; old.txt",
        "modify=20261209131043;perm=adfrw;size=5;type=file;unique=FE00UA72274;UNIX.group=0;UNIX.groupname=harlune;UNIX.mode=0644;UNIX.owner=65534;UNIX.ownername=harlune;  lead.txt"})}
        << hidden + " @ 2026-12-09 13:10:43/1 | l link @ 2026-12-09 13:10:43/1 | d folder @ 2026-12-09 13:10:43/1 | "
           "f old.txt @ 2025-12-09 13:10:43/1 | f  lead.txt @ 2026-12-09 13:10:43/1 (7 lines)";
    QTest::newRow("pure-ftpd: MLSD") << mlsd << QList<QByteArray>{joined({
        "type=cdir;sizd=4096;modify=20261209131046;UNIX.mode=0755;UNIX.uid=65534;UNIX.gid=65534;unique=fe00ga722b1; .",
        "type=file;size=5;modify=20261209131046;UNIX.mode=0644;UNIX.uid=65534;UNIX.gid=0;unique=fe00ga722b5; .channel_list.txt.0123456789abcdef.part",
        "type=OS.unix=slink:;size=16;modify=20261209131046;UNIX.mode=0777;UNIX.uid=65534;UNIX.gid=0;unique=fe00ga722bd; link",
        "type=dir;sizd=4096;modify=20261209131046;UNIX.mode=0755;UNIX.uid=65534;UNIX.gid=0;unique=fe00ga722bc; folder",
        "type=file;size=4;modify=20251209131046;UNIX.mode=0644;UNIX.uid=65534;UNIX.gid=0;unique=fe00ga722bf; old.txt"})}
        << hidden + " @ 2026-12-09 13:10:46/1 | l link @ 2026-12-09 13:10:46/1 | d folder @ 2026-12-09 13:10:46/1 | "
           "f old.txt @ 2025-12-09 13:10:46/1 (5 lines)";
    // pyftpdlib follows the link.
    QTest::newRow("pyftpdlib: MLSD") << mlsd << QList<QByteArray>{joined({
        "modify=20261209131042;perm=radfwMT;size=5;type=file;unique=fe00ga720b2; .channel_list.txt.0123456789abcdef.part",
        "modify=20261209131042;perm=radfwMT;size=5;type=file;unique=fe00ga720b0; link",
        "modify=20261209131042;perm=eldfmMTcp;size=4096;type=dir;unique=fe00ga720b7; folder",
        "modify=20251209131042;perm=radfwMT;size=4;type=file;unique=fe00ga720b9; old.txt"})}
        << hidden + " @ 2026-12-09 13:10:42/1 | f link @ 2026-12-09 13:10:42/1 | d folder @ 2026-12-09 13:10:42/1 | "
           "f old.txt @ 2025-12-09 13:10:42/1 (4 lines)";
    const QString ls = hidden + " @ ?2000-12-09 13:10:00/60 local | d folder @ ?2000-12-09 13:10:00/60 local | "
        "l link @ ?2000-12-09 13:10:00/60 local | f old.txt @ 2025-12-09 00:00:00/86400 local";
    QTest::newRow("vsftpd: LIST -a") << list << QList<QByteArray>{joined({
        "drwxr-xr-x    3 1001     1001         4096 Dec 09 13:10 .",
        "drwxr-xr-x    3 1001     1001         4096 Dec 09 13:10 ..",
        "-rw-r--r--    1 1001     0               5 Dec 09 13:10 .channel_list.txt.0123456789abcdef.part",
        "drwxr-xr-x    2 1001     0            4096 Dec 09 13:10 folder",
        "lrwxrwxrwx    1 1001     0              16 Dec 09 13:10 link -> channel_list.txt",
        "-rw-r--r--    1 1001     0               4 Dec 09  2025 old.txt"})} << ls + " (6 lines)";
    QTest::newRow("proftpd: LIST -a") << list << QList<QByteArray>{joined({
        "-rw-r--r--   1 harlune  0               5 Dec  9 13:10 .channel_list.txt.0123456789abcdef.part",
        "drwxr-xr-x   2 harlune  0            4096 Dec  9 13:10 folder",
        "lrwxrwxrwx   1 harlune  0              16 Dec  9 13:10 link -> channel_list.txt",
        "-rw-r--r--   1 harlune  0               4 Dec  9  2025 old.txt",
        "-rw-r--r--   1 harlune  0               5 Dec  9 13:10  lead.txt"})}
        << ls + " | f  lead.txt @ ?2000-12-09 13:10:00/60 local (5 lines)";
    QTest::newRow("pure-ftpd: LIST -a") << list << QList<QByteArray>{joined({
        "drwxr-xr-x    3 65534      nogroup          4096 Dec  9 13:10 .",
        "-rw-r--r--    1 65534      0                   5 Dec  9 13:10 .channel_list.txt.0123456789abcdef.part",
        "drwxr-xr-x    2 65534      0                4096 Dec  9 13:10 folder",
        "lrwxrwxrwx    1 65534      0                  16 Dec  9 13:10 link -> channel_list.txt",
        "-rw-r--r--    1 65534      0                   4 Dec  9  2025 old.txt"})} << ls + " (5 lines)";
    QTest::newRow("inetutils ftpd: LIST -a") << list << QList<QByteArray>{joined({
        "total 36",
        "-rw-r--r--  1 harlunelist  root            5 Dec  9 13:10 .channel_list.txt.0123456789abcdef.part",
        "drwxr-xr-x  2 harlunelist  root         4096 Dec  9 13:10 folder",
        "lrwxrwxrwx  1 harlunelist  root           16 Dec  9 13:10 link -> channel_list.txt",
        "-rw-r--r--  1 harlunelist  root            4 Dec  9  2025 old.txt",
        "-rw-r--r--  1 harlunelist  root            3 Dec  9 13:10 with space.txt"})}
        << ls + " | f with space.txt @ ?2000-12-09 13:10:00/60 local (6 lines)";
    QTest::newRow("pyftpdlib: LIST -a") << list << QList<QByteArray>{joined({
        "-rw-r--r--   1 root     root            5 Dec 09 13:10 .channel_list.txt.0123456789abcdef.part",
        "drwxr-xr-x   2 root     root         4096 Dec 09 13:10 folder",
        "lrwxrwxrwx   1 root     root           16 Dec 09 13:10 link -> channel_list.txt",
        "-rw-r--r--   1 root     root            4 Dec 09  2025 old.txt"})} << ls + " (4 lines)";
    // libcurl hands a listing on in ASCII mode, its CRLFs made LFs.
    QTest::newRow("LF only, last line without its end") << list << QList<QByteArray>{
        "-rw-r--r-- 1 u g 5 Jan  1 00:00 a\n-rw-r--r-- 1 u g 5 Feb 29 23:59 b"}
        << "f a @ ?2000-01-01 00:00:00/60 local | f b @ ?2000-02-29 23:59:00/60 local (2 lines)";

    // Lines that name nothing, or less than they seem to.
    QTest::newRow("no name") << list << QList<QByteArray>{joined({
        "-rw-r--r-- 1 u g 5 Dec  9 13:10", "-rw-r--r-- 1 u g 5 Dec  9 13:10 ", "", "-rw-r--r-- 1 u g 5 Dec  9"})}
        << " (4 lines)";
    QTest::newRow("MLSD: no name, no status") << mlsd << QList<QByteArray>{joined({
        "type=file;size=5;", "type=file;size=5; ", "type=file;size=5 a", " bare name", "size=1; /public_html/a"})}
        << "o bare name | o a (5 lines)";
    QTest::newRow("MLSD: other spellings and kinds") << mlsd << QList<QByteArray>{joined({
        "Type=DIR;Modify=20240229235960.123; d", "type=OS.unix=slink:/x y; l", "type=OS.unix=blk; b",
        "type=file;modify=2026120913104; short", "type=file;modify=20261209131043.; dot",
        "type=file;modify=20250229000000; feb29", "type=file;modify=20261209241043; hour24", "type=file;x; a;b=c"})}
        << "d d @ 2024-03-01 00:00:00/1 | l l | o b | f short | f dot | f feb29 | f hour24 | f a;b=c (8 lines)";
    QTest::newRow("bad month, DOS lines, total") << list << QList<QByteArray>{joined({
        "-rw-r--r-- 1 u g 5 Dez  9 13:10 a", "total 12",
        "12-09-26  01:10PM       <DIR>          folder", "12-09-26  01:10PM                    5 channel_list.txt",
        "-rw-r--r-- 1 u g 5 Dec 32 13:10 b", "-rw-r--r-- 1 u g 5 Dec  9 1:100 c"})} << " (6 lines)";
    QTest::newRow("dates out of range") << list << QList<QByteArray>{joined({
        "-rw-r--r-- 1 u g 5 Feb 30 13:10 a", "-rw-r--r-- 1 u g 5 Feb 29  2025 b", "-rw-r--r-- 1 u g 5 Dec  9 24:00 c",
        "-rw-r--r-- 1 u g 5 Dec  9 23:60 d", "-rw-r--r-- 1 u g 5 DEC  1  1969 e", "-rw-r--r-- 1 u g 5 jun 30  9:05 f"})}
        << "f a | f b | f c | f d | f e @ 1969-12-01 00:00:00/86400 local | f f @ ?2000-06-30 09:05:00/60 local (6 lines)";
    QTest::newRow("fields that look like a date") << list << QList<QByteArray>{joined({
        "-rw-r--r-- 1 may 12 2025 Dec  9 13:10 a", "-rw-r--r-- 1 u g 5 Dec  9 13:10 Jan  1  2020 b -> c",
        "crw-rw---- 1 root tty 4, 1 Dec  9 13:10 tty1", "-rw-r--r-- 1 5 Dec  9 13:10 nogroup",
        "-rw-r--r--+ 1 u g 5 Dec  9 13:10 acl", "lrwxrwxrwx 1 u g 5 Dec  9 13:10 a -> b -> c"})}
        << "f a @ ?2000-12-09 13:10:00/60 local | f Jan  1  2020 b -> c @ ?2000-12-09 13:10:00/60 local | "
           "o tty1 @ ?2000-12-09 13:10:00/60 local | f nogroup @ ?2000-12-09 13:10:00/60 local | "
           "f acl @ ?2000-12-09 13:10:00/60 local | l a @ ?2000-12-09 13:10:00/60 local (6 lines)";
    // Never sent back in a command: CR, LF and NUL would end or cut it.
    QTest::newRow("control bytes and invalid UTF-8") << list << QList<QByteArray>{
        joined({"-rw-r--r-- 1 u g 5 Dec  9 13:10 \x01\x1b[0m\t\x7f", "-rw-r--r-- 1 u g 5 Dec  9 13:10 \xff\xfe\xc3"}) +
        "-rw-r--r-- 1 u g 5 Dec  9 13:10 a" + QByteArray(1, '\0') + "b\r\n-rw-r--r-- 1 u g 5 Dec  9 13:10 a\rb\r\n"}
        << "f \\x01\\x1b[0m\\x09\\x7f @ ?2000-12-09 13:10:00/60 local | f \\xff\\xfe\\xc3 @ ?2000-12-09 13:10:00/60 local (4 lines)";
    // A name holding a line feed ends its line there: the rest is read as
    // a line of its own, here a second entry of the list's name.
    QTest::newRow("ls: a line feed in a name") << list << QList<QByteArray>{
        "-rw-r--r-- 1 u g 5 Dec  9 13:10 x\n-rw-r--r-- 1 u g 5 Jan  1  2020 channel_list.txt\r\n"
        "-rw-r--r-- 1 u g 5 Dec  9 13:10 channel_list.txt\r\n"}
        << "f x @ ?2000-12-09 13:10:00/60 local | f channel_list.txt @ 2020-01-01 00:00:00/86400 local | "
           "f channel_list.txt @ ?2000-12-09 13:10:00/60 local (3 lines)";
    QTest::newRow("MLSD: a line feed in a name") << mlsd << QList<QByteArray>{
        "type=file;modify=20261209131043; x\ntype=file;modify=20200101000000; channel_list.txt\r\n"
        "type=file;modify=20261209131043; channel_list.txt\r\n"}
        << "f x @ 2026-12-09 13:10:43/1 | f channel_list.txt @ 2020-01-01 00:00:00/1 | "
           "f channel_list.txt @ 2026-12-09 13:10:43/1 (3 lines)";
    QTest::newRow("CRLF split across feeds") << mlsd << QList<QByteArray>{
        "type=file; a\r", "\n", "type=file; b\r", "\ntype=dir; c", "\r", "\n"} << "f a | f b | d c (3 lines)";
    // Passed over whole, at no cost beyond MaxLine; the next line is read.
    QList<QByteArray> huge{"-rw-r--r-- 1 u g 5 Dec  9 13:10 "};
    for (int i = 0; i < 16; ++i)
        huge << QByteArray(64 * 1024, 'a');
    huge << "\r\n-rw-r--r-- 1 u g 5 Dec  9 13:10 after\r\n";
    QTest::newRow("1 MB line in pieces") << list << huge << "f after @ ?2000-12-09 13:10:00/60 local (2 lines)";
    // MaxLine bytes before the LF, its CR one of them.
    const QByteArray longest = "type=file; " + QByteArray(FtpListingReader::MaxLine - 12, 'x') + "\r\n";
    const QByteArray tooLong = "type=file; " + QByteArray(FtpListingReader::MaxLine - 11, 'y') + "\r\n";
    QTest::newRow("MaxLine, and a byte more") << mlsd << QList<QByteArray>{longest.left(100), longest.mid(100), tooLong}
        << "f " + QString(FtpListingReader::MaxLine - 12, u'x') + " (2 lines)";
    // clang-format on
}

// Each listing gives the same, fed as it came or a byte at a time.
void tst_FtpFileStatus::listing() {
    QFETCH(FtpListingReader::Format, format);
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(QString, entries);

    QCOMPARE(readAll(format, pieces), entries);
    QList<QByteArray> bytes;
    for (const QByteArray& piece : std::as_const(pieces)) {
        for (const char c : piece)
            bytes << QByteArray(1, c);
    }
    QCOMPARE(readAll(format, bytes), entries);
}

// A folder of any size: only the first MaxKept wanted entries are kept,
// but every line is read.
void tst_FtpFileStatus::manyEntries() {
    FtpListingReader reader(FtpListingReader::Format::Mlsd,
                            [](const QByteArray& name) { return name.endsWith(".part"); });
    for (int i = 0; i < 100'000; ++i)
        reader.feed("type=file;size=1; f" + QByteArray::number(i) + (i % 3 ? ".part\r\n" : "\r\n"));
    reader.finish();
    QCOMPARE(reader.lines(), qint64(100'000));
    QCOMPARE(reader.entries().size(), FtpListingReader::MaxKept);
    QCOMPARE(reader.entries().first().name, "f1.part");
    QCOMPARE(reader.entries().last().name, "f1499.part");
}

QTEST_APPLESS_MAIN(tst_FtpFileStatus)
#include "tst_ftpfilestatus.moc"
