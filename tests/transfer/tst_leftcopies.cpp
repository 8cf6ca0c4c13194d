// How a folder's listing judges the copies left in it: the age of a listed
// date against the list's own, which names are this program's copies, the
// list's own time, and what is removed. Dates as servers list them, read
// by the listing reader; this machine's clock set by each row.
#include "FtpListing.h"
#include "LeftCopies.h"

#include <QDateTime>
#include <QTest>

namespace {

const QString Base = "channel_list.txt";

// "2026-12-09 13:12", in UTC: this machine's clock.
qint64 utc(const QString& text) {
    return QDateTime(QDate::fromString(text.left(10), Qt::ISODate),
                     QTime::fromString(text.mid(11), QStringLiteral("hh:mm")), Qt::UTC)
        .toSecsSinceEpoch();
}

// A listing's lines, MLSD where they start with "type=", else ls.
QList<ListedEntry> listed(const QByteArray& lines) {
    FtpListingReader reader(lines.startsWith("type=") ? FtpListingReader::Format::Mlsd
                                                      : FtpListingReader::Format::List,
                            [](const QByteArray&) { return true; });
    reader.feed(lines);
    reader.finish();
    return reader.entries();
}

// "20261209131043" as MLSD's modify, "Dec  9 13:10" or "Dec  9  2026" as
// an ls date; "nonsense" a date without a year outside any year.
ListedTime timeOf(const QByteArray& date) {
    if (date == "nonsense")
        return ListedTime{0, false, 60, true};
    const auto entries = listed(date.size() == 14 && date.toLongLong()
                                    ? "type=file;modify=" + date + "; x"
                                    : "-rw-r--r-- 1 u g 5 " + date + " x");
    return *entries.value(0).changed;
}

} // namespace

class tst_LeftCopies : public QObject {
    Q_OBJECT
private slots:
    void age_data();
    void age();
    void ours_data();
    void ours();
    void reference_data();
    void reference();
    void judge_data();
    void judge();
};

void tst_LeftCopies::age_data() {
    QTest::addColumn<QByteArray>("entry");
    QTest::addColumn<QByteArray>("now");
    QTest::addColumn<QString>("machineNow");
    QTest::addColumn<QString>("age"); // the least, in seconds; "ahead"; "none"

    // clang-format off
    QTest::newRow("MLSD: 20 min") << QByteArray("20261209125043") << QByteArray("20261209131043") << "2026-12-09 13:11" << "1199";
    QTest::newRow("MLSD: the same second") << QByteArray("20261209131043") << QByteArray("20261209131043") << "2026-12-09 13:11" << "-1";
    QTest::newRow("MLSD: 2 h ahead") << QByteArray("20261209151043") << QByteArray("20261209131043") << "2026-12-09 13:11" << "ahead";
    QTest::newRow("MLSD: 3 days ahead") << QByteArray("20261212131043") << QByteArray("20261209131043") << "2026-12-09 13:11" << "ahead";
    QTest::newRow("MLSD: across New Year") << QByteArray("20261231235900") << QByteArray("20270101000100") << "2027-01-01 00:05" << "119";
    QTest::newRow("MLSD: February, leap year") << QByteArray("20280228235900") << QByteArray("20280301000100") << "2028-03-01 00:05" << "86519";
    // ls: local times, an hour less for a daylight-saving change between.
    QTest::newRow("ls: 3 h") << QByteArray("Dec  9 10:10") << QByteArray("Dec  9 13:10") << "2026-12-09 13:12" << "7140";
    QTest::newRow("ls: the same minute") << QByteArray("Dec  9 13:10") << QByteArray("Dec  9 13:10") << "2026-12-09 13:12" << "-3660";
    QTest::newRow("ls: a minute ahead") << QByteArray("Dec  9 13:11") << QByteArray("Dec  9 13:10") << "2026-12-09 13:12" << "ahead";
    // ls shows a date ahead of its clock with the year, as an old one.
    QTest::newRow("ls: 2 h ahead, with its year") << QByteArray("Dec  9  2026") << QByteArray("Dec  9 13:10") << "2026-12-09 13:12" << "ahead";
    QTest::newRow("ls: 2 h ahead, past midnight") << QByteArray("Dec 10  2026") << QByteArray("Dec  9 23:10") << "2026-12-09 23:12" << "ahead";
    QTest::newRow("ls: 3 days ahead") << QByteArray("Dec 12  2026") << QByteArray("Dec  9 13:10") << "2026-12-09 13:12" << "ahead";
    QTest::newRow("ls: with its year, 170 days before") << QByteArray("Jun 22  2026") << QByteArray("Dec  9 13:10") << "2026-12-09 13:12" << "ahead";
    QTest::newRow("ls: with its year, 191 days before") << QByteArray("Jun  1  2026") << QByteArray("Dec  9 13:10") << "2026-12-09 13:12" << "16459800";
    QTest::newRow("ls: a year old") << QByteArray("Dec  9  2025") << QByteArray("Dec  9 13:10") << "2026-12-09 13:12" << "31493400";
    QTest::newRow("ls: the list dated ahead") << QByteArray("Dec  8 11:10") << QByteArray("Dec  9  2026") << "2026-12-09 13:12" << "42540";
    QTest::newRow("ls: New Year") << QByteArray("Dec 31 23:59") << QByteArray("Jan  1 00:01") << "2027-01-01 00:05" << "-3540";
    QTest::newRow("ls: New Year, this machine's clock before it") << QByteArray("Dec 31 23:59") << QByteArray("Jan  1 00:01") << "2026-12-31 23:50" << "-3540";
    QTest::newRow("ls: New Year, hours") << QByteArray("Dec 31 20:00") << QByteArray("Jan  1 02:00") << "2027-01-01 02:05" << "17940";
    QTest::newRow("ls: February, common year") << QByteArray("Feb 28 23:59") << QByteArray("Mar  1 00:01") << "2027-03-01 00:05" << "-3540";
    QTest::newRow("ls: February, leap year") << QByteArray("Feb 28 23:59") << QByteArray("Mar  1 00:01") << "2028-03-01 00:05" << "82860";
    QTest::newRow("ls: 29 February") << QByteArray("Feb 29 12:00") << QByteArray("Mar  1 12:00") << "2028-03-01 12:05" << "82740";
    // Europe's changes of 2027: 2 min that read 62, 2 h that read 1.
    QTest::newRow("ls: spring change") << QByteArray("Mar 28 01:59") << QByteArray("Mar 28 03:01") << "2027-03-28 01:05" << "60";
    QTest::newRow("ls: autumn change") << QByteArray("Oct 31 01:50") << QByteArray("Oct 31 02:50") << "2027-10-31 02:00" << "-60";
    // A local time against UTC: any zone's offset between them.
    QTest::newRow("ls against UTC: 27 h") << QByteArray("Dec  8 10:10") << QByteArray("20261209131000") << "2026-12-09 13:12" << "46740";
    QTest::newRow("no year fits") << QByteArray("nonsense") << QByteArray("Dec  9 13:10") << "2026-12-09 13:12" << "none";
    // clang-format on
}

void tst_LeftCopies::age() {
    QFETCH(QByteArray, entry);
    QFETCH(QByteArray, now);
    QFETCH(QString, machineNow);
    QFETCH(QString, age);

    const auto told = AgeOf(timeOf(entry), timeOf(now), utc(machineNow));
    QCOMPARE(!told ? "none" : told->ahead ? "ahead" : QString::number(told->least), age);
}

void tst_LeftCopies::ours_data() {
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("ours");

    QTest::newRow("hidden") << QByteArray(".channel_list.txt.0123456789abcdef.part") << true;
    QTest::newRow("visible") << QByteArray("channel_list.txt.0123456789abcdef.part") << true;
    QTest::newRow("16 digits, no letter") << QByteArray("channel_list.txt.1234567890123456.part") << true;
    QTest::newRow("15 with a letter") << QByteArray(".channel_list.txt.123456789abcdef.part") << true;
    QTest::newRow("8 with a letter") << QByteArray("channel_list.txt.1234567a.part") << true;
    QTest::newRow("15 without a letter") << QByteArray("channel_list.txt.123456789012345.part") << false;
    QTest::newRow("a date") << QByteArray("channel_list.txt.20261209.part") << false;
    QTest::newRow("a date, hidden") << QByteArray(".channel_list.txt.20261209.part") << false;
    QTest::newRow("a Unix time") << QByteArray("channel_list.txt.1765290000.part") << false;
    QTest::newRow("7 digits") << QByteArray("channel_list.txt.abcdef1.part") << false;
    QTest::newRow("17 digits") << QByteArray("channel_list.txt.0123456789abcdef0.part") << false;
    QTest::newRow("capitals") << QByteArray("channel_list.txt.0123456789ABCDEF.part") << false;
    QTest::newRow("another list's") << QByteArray("other.txt.0123456789abcdef.part") << false;
    QTest::newRow("a list named after it") << QByteArray("new_channel_list.txt.0123456789abcdef.part") << false;
    QTest::newRow("a longer list's") << QByteArray("channel_list.txt.bak.0123456789abcdef.part") << false;
    QTest::newRow("two dots") << QByteArray("..channel_list.txt.0123456789abcdef.part") << false;
    QTest::newRow("NAME.part") << QByteArray("channel_list.txt.part") << false;
    QTest::newRow("NAME.bak") << QByteArray("channel_list.txt.bak") << false;
    QTest::newRow("the list") << QByteArray("channel_list.txt") << false;
}

void tst_LeftCopies::ours() {
    QFETCH(QByteArray, name);
    QFETCH(bool, ours);
    QCOMPARE(IsCopyOf(name, Base), ours);
}

void tst_LeftCopies::reference_data() {
    QTest::addColumn<QByteArray>("listing");
    QTest::addColumn<QString>("time"); // "?" where without its year

    const QByteArray list = "-rw-r--r-- 1 u g 5 Dec  9 13:10 channel_list.txt\r\n";
    const QByteArray copy = "-rw-r--r-- 1 u g 5 Dec  9 12:10 .channel_list.txt.0123456789abcdef.part\r\n";
    // clang-format off
    QTest::newRow("none") << copy << "none";
    QTest::newRow("once") << copy + list << "?2000-12-09 13:10";
    QTest::newRow("once, with its year") << QByteArray("-rw-r--r-- 1 u g 5 Dec  9  2025 channel_list.txt\r\n") << "2025-12-09 00:00";
    QTest::newRow("MLSD") << QByteArray("type=file;modify=20261209131043; channel_list.txt\r\n") << "2026-12-09 13:10";
    QTest::newRow("twice") << list + copy + list << "none";
    QTest::newRow("a line feed brings a second") << "-rw-r--r-- 1 u g 5 Dec  9 13:10 x\n" + list + list << "none";
    QTest::newRow("a folder of that name") << QByteArray("drwxr-xr-x 2 u g 4096 Dec  9 13:10 channel_list.txt\r\n") << "none";
    QTest::newRow("a folder and a file of that name") << "drwxr-xr-x 2 u g 4096 Dec  9 13:10 channel_list.txt\r\n" + list << "none";
    QTest::newRow("a link of that name") << QByteArray("lrwxrwxrwx 1 u g 5 Dec  9 13:10 channel_list.txt -> a\r\n") << "none";
    QTest::newRow("no time") << QByteArray("type=file;size=5; channel_list.txt\r\n") << "none";
    QTest::newRow("in capitals") << QByteArray("-rw-r--r-- 1 u g 5 Dec  9 13:10 Channel_list.txt\r\n") << "none";
    // clang-format on
}

void tst_LeftCopies::reference() {
    QFETCH(QByteArray, listing);
    QFETCH(QString, time);
    const auto told = ListReferenceTime(listed(listing), Base);
    QCOMPARE(!told ? "none"
                   : (told->yearKnown ? "" : "?") +
                         QDateTime::fromSecsSinceEpoch(told->seconds, Qt::UTC)
                             .toString(QStringLiteral("yyyy-MM-dd hh:mm")),
             time);
}

void tst_LeftCopies::judge_data() {
    QTest::addColumn<QByteArray>("listing"); // its list gives "now"
    QTest::addColumn<QString>("machineNow");
    QTest::addColumn<QString>("verdicts");

    // clang-format off
    QTest::newRow("MLSD") << QByteArray(
        "type=file;modify=20261209131043; channel_list.txt\r\n"
        "type=file;modify=20261209120000; .channel_list.txt.0123456789abcdef.part\r\n"
        "type=file;modify=20261209130500; channel_list.txt.00000000deadbeef.part\r\n"
        "type=file;modify=20261209151043; .channel_list.txt.fedcba9876543210.part\r\n"
        "type=file; .channel_list.txt.1111111111111111.part\r\n"
        "type=dir;modify=20261201000000; .channel_list.txt.2222222222222222.part\r\n"
        "type=OS.unix=symlink;modify=20261201000000; .channel_list.txt.3333333333333333.part\r\n"
        "type=file;modify=20261201000000; channel_list.txt.20261201.part\r\n"
        "type=file;modify=20261201000000; other.txt.0123456789abcdef.part\r\n"
        "type=file;modify=20261201000000; channel_list.txt.bak\r\n") << "2026-12-09 13:11"
        << ".channel_list.txt.0123456789abcdef.part remove | channel_list.txt.00000000deadbeef.part young | "
           ".channel_list.txt.fedcba9876543210.part ahead | .channel_list.txt.1111111111111111.part unknown";
    // Another machine's copy, its clock 2 h ahead: shown with its year.
    QTest::newRow("ls: a copy ahead") << QByteArray(
        "-rw-r--r-- 1 u g 5 Dec  9 13:10 channel_list.txt\r\n"
        "-rw-r--r-- 1 u g 5 Dec  9  2026 .channel_list.txt.0123456789abcdef.part\r\n"
        "-rw-r--r-- 1 u g 5 Dec  9 10:10 .channel_list.txt.1111111111111111.part\r\n"
        "-rw-r--r-- 1 u g 5 Dec  9 12:40 .channel_list.txt.2222222222222222.part\r\n"
        "-rw-r--r-- 1 u g 5 Jan  5  2026 .channel_list.txt.3333333333333333.part\r\n") << "2026-12-09 13:12"
        << ".channel_list.txt.0123456789abcdef.part ahead | .channel_list.txt.1111111111111111.part remove | "
           ".channel_list.txt.2222222222222222.part young | .channel_list.txt.3333333333333333.part remove";
    QTest::newRow("ls: New Year") << QByteArray(
        "-rw-r--r-- 1 u g 5 Jan  1 00:30 channel_list.txt\r\n"
        "-rw-r--r-- 1 u g 5 Dec 31 23:50 .channel_list.txt.0123456789abcdef.part\r\n"
        "-rw-r--r-- 1 u g 5 Dec 31 20:00 .channel_list.txt.1111111111111111.part\r\n") << "2027-01-01 00:31"
        << ".channel_list.txt.0123456789abcdef.part young | .channel_list.txt.1111111111111111.part remove";
    QTest::newRow("ls: February, common year") << QByteArray(
        "-rw-r--r-- 1 u g 5 Mar  1 00:10 channel_list.txt\r\n"
        "-rw-r--r-- 1 u g 5 Feb 28 23:55 .channel_list.txt.0123456789abcdef.part\r\n") << "2027-03-01 00:11"
        << ".channel_list.txt.0123456789abcdef.part young";
    // 10 min that read 70.
    QTest::newRow("ls: spring change") << QByteArray(
        "-rw-r--r-- 1 u g 5 Mar 28 03:05 channel_list.txt\r\n"
        "-rw-r--r-- 1 u g 5 Mar 28 01:55 .channel_list.txt.0123456789abcdef.part\r\n") << "2027-03-28 01:06"
        << ".channel_list.txt.0123456789abcdef.part young";
    // clang-format on
}

void tst_LeftCopies::judge() {
    QFETCH(QByteArray, listing);
    QFETCH(QString, machineNow);
    QFETCH(QString, verdicts);

    const QList<ListedEntry> entries = listed(listing);
    const auto now = ListReferenceTime(entries, Base);
    QVERIFY(now);
    QStringList out;
    for (const CopyVerdict& verdict :
         JudgeCopies(entries, Base, *now, std::chrono::seconds(1200), utc(machineNow))) {
        static const QStringList kept{"unknown", "ahead", "young"};
        out << QString::fromUtf8(verdict.name) + u' ' +
                   (verdict.remove ? "remove" : kept[int(verdict.kept)]);
    }
    QCOMPARE(out.join(QStringLiteral(" | ")), verdicts);
}

QTEST_APPLESS_MAIN(tst_LeftCopies)
#include "tst_leftcopies.moc"
