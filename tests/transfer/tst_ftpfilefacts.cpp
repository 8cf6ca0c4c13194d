// What servers answer to MLST and STAT of one file, as the test servers
// (vsftpd, proftpd, pure-ftpd, inetutils' ftpd, pyftpdlib) sent it on
// loopback, and answers that must not be taken for a file.
#include "FtpFileFacts.h"

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
QString describe(const std::optional<RemoteFileFacts>& facts) {
    if (!facts)
        return "nothing";
    if (!facts->exists)
        return "missing";
    switch (facts->kind) {
    case RemoteFileFacts::Kind::Regular:
        break;
    case RemoteFileFacts::Kind::Link:
        return "link to " + facts->linkTarget;
    case RemoteFileFacts::Kind::Folder:
        return "folder";
    case RemoteFileFacts::Kind::Other:
        return "other";
    }
    return QStringLiteral("%1 %2 %3 %4")
        .arg(facts->size ? QString::number(*facts->size) : "-",
             facts->mode ? "0" + QString::number(*facts->mode, 8) : "-",
             facts->owner.isEmpty() ? "-" : facts->owner,
             facts->group.isEmpty() ? "-" : facts->group);
}

} // namespace

class tst_FtpFileFacts : public QObject {
    Q_OBJECT
private slots:
    void mlst_data();
    void mlst();
    void stat_data();
    void stat();
};

void tst_FtpFileFacts::mlst_data() {
    QTest::addColumn<QList<QByteArray>>("lines");
    QTest::addColumn<QString>("facts");

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
    QTest::newRow("pyftpdlib: default facts") << reply({
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
    QTest::newRow("facts not ended by ;") << reply({"250-Begin", " type=file;size=7 a", "250 End."}) << "nothing";
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

void tst_FtpFileFacts::mlst() {
    QFETCH(QList<QByteArray>, lines);
    QFETCH(QString, facts);
    QCOMPARE(describe(FactsFromMlst(lines)), facts);
}

void tst_FtpFileFacts::stat_data() {
    QTest::addColumn<QList<QByteArray>>("lines");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("facts");

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

void tst_FtpFileFacts::stat() {
    QFETCH(QList<QByteArray>, lines);
    QFETCH(QString, path);
    QFETCH(QString, facts);
    QCOMPARE(describe(FactsFromStat(lines, path)), facts);
}

QTEST_APPLESS_MAIN(tst_FtpFileFacts)
#include "tst_ftpfilefacts.moc"
