#include "SftpCodec.h"

#include <QTest>

namespace {

QByteArray u32(quint32 v) {
    const char bytes[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    return QByteArray(bytes, 4);
}
QByteArray str(const QByteArray& s) {
    return u32(quint32(s.size())) + s;
}
QByteArray frame(const QByteArray& body) {
    return u32(quint32(body.size())) + body;
}

} // namespace

class tst_SftpCodec : public QObject {
    Q_OBJECT
private slots:
    void reply_data();
    void reply();
    void version_data();
    void version();
    void requests();
    void framer_data();
    void framer();
};

void tst_SftpCodec::reply_data() {
    QTest::addColumn<QByteArray>("packet");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("type");
    QTest::addColumn<quint32>("code");
    QTest::addColumn<QByteArray>("text"); // the message, or the handle
    QTest::addColumn<qint64>("size");     // -1: none
    QTest::addColumn<qint64>("permissions");
    QTest::addColumn<qint64>("uid");

    const QByteArray status = QByteArray(1, char(101)) + u32(7);
    QTest::newRow("status with message")
        << status + u32(4) + str("Failure") + str("") << true << 101 << 4u << QByteArray("Failure")
        << -1LL << -1LL << -1LL;
    QTest::newRow("status without message")
        << status + u32(2) << true << 101 << 2u << QByteArray() << -1LL << -1LL << -1LL;
    QTest::newRow("status cut in its code")
        << status + QByteArray(2, '\0') << false << 0 << 0u << QByteArray() << -1LL << -1LL << -1LL;
    QTest::newRow("status message longer than the packet")
        << status + u32(4) + u32(100) + "abc" << false << 0 << 0u << QByteArray() << -1LL << -1LL
        << -1LL;
    QTest::newRow("status message length near 2^32")
        << status + u32(4) + u32(0xfffffffc) + "abcd" << false << 0 << 0u << QByteArray() << -1LL
        << -1LL << -1LL;

    const QByteArray handle = QByteArray(1, char(102)) + u32(7);
    QTest::newRow("handle") << handle + str("h1") << true << 102 << 0u << QByteArray("h1") << -1LL
                            << -1LL << -1LL;
    QTest::newRow("handle over 256 bytes") << handle + str(QByteArray(300, 'h')) << false << 0 << 0u
                                           << QByteArray() << -1LL << -1LL << -1LL;

    const QByteArray attrs = QByteArray(1, char(105)) + u32(7);
    const QByteArray all =
        u32(0x0f) + u32(0) + u32(1234) + u32(1000) + u32(1001) + u32(0100644) + u32(10) + u32(20);
    QTest::newRow("attrs: size, ids, mode, times")
        << attrs + all << true << 105 << 0u << QByteArray() << 1234LL << qint64(0100644) << 1000LL;
    QTest::newRow("attrs: mode alone") << attrs + u32(0x04) + u32(0600) << true << 105 << 0u
                                       << QByteArray() << -1LL << qint64(0600) << -1LL;
    QTest::newRow("attrs: size over 4 GiB") << attrs + u32(0x01) + u32(1) + u32(5) << true << 105
                                            << 0u << QByteArray() << 0x100000005LL << -1LL << -1LL;
    QTest::newRow("attrs: extended pairs skipped")
        << attrs + u32(0x80000005) + u32(0) + u32(9) + u32(0644) + u32(2) + str("a") + str("1") +
               str("b") + str("")
        << true << 105 << 0u << QByteArray() << 9LL << qint64(0644) << -1LL;
    QTest::newRow("attrs: extended count past the end")
        << attrs + u32(0x80000000) + u32(0xffffffff) + str("a") + str("1") << false << 0 << 0u
        << QByteArray() << -1LL << -1LL << -1LL;
    QTest::newRow("attrs: flags promise a size not sent")
        << attrs + u32(0x01) + u32(0) << false << 0 << 0u << QByteArray() << -1LL << -1LL << -1LL;
    QTest::newRow("attrs: uid without gid") << attrs + u32(0x02) + u32(1000) << false << 0 << 0u
                                            << QByteArray() << -1LL << -1LL << -1LL;

    // NAME: the text is the first name and its ls line's first letter,
    // what a listing without permission bits takes the kind from.
    const QByteArray name = QByteArray(1, char(104)) + u32(7) + u32(1) + str(".l.part");
    QTest::newRow("name: ls line, no permissions")
        << name + str("-rw-r--r--    1 web www 5 Dec  9 13:03 .l.part") + u32(0) << true << 104
        << 0u << QByteArray(".l.part -") << -1LL << -1LL << -1LL;
    QTest::newRow("name: empty ls line") << name + str("") + u32(0) << true << 104 << 0u
                                         << QByteArray(".l.part ?") << -1LL << -1LL << -1LL;
    QTest::newRow("empty") << QByteArray() << false << 0 << 0u << QByteArray() << -1LL << -1LL
                           << -1LL;
    QTest::newRow("type without id")
        << QByteArray(1, char(101)) << false << 0 << 0u << QByteArray() << -1LL << -1LL << -1LL;
    QTest::newRow("a request type as a reply") << QByteArray(1, char(3)) + u32(1) << false << 0
                                               << 0u << QByteArray() << -1LL << -1LL << -1LL;
    QTest::newRow("unknown type") << QByteArray(1, char(250)) + u32(1) << false << 0 << 0u
                                  << QByteArray() << -1LL << -1LL << -1LL;
}

void tst_SftpCodec::reply() {
    QFETCH(QByteArray, packet);
    QFETCH(bool, valid);
    const auto r = Sftp::ParseReply(packet);
    QCOMPARE(r.has_value(), valid);
    if (!valid)
        return;
    QFETCH(int, type);
    QFETCH(quint32, code);
    QFETCH(QByteArray, text);
    QFETCH(qint64, size);
    QFETCH(qint64, permissions);
    QFETCH(qint64, uid);
    QCOMPARE(int(r->type), type);
    QCOMPARE(r->id, 7u);
    QCOMPARE(r->code, code);
    const QByteArray kind(1, r->names.isEmpty() || !r->names[0].longNameKind ? '?'
                                                                           : r->names[0].longNameKind);
    QCOMPARE(type == 102 ? r->handle : type == 104 ? r->name + ' ' + kind : r->message, text);
    QCOMPARE(r->attrs.size ? qint64(*r->attrs.size) : -1, size);
    QCOMPARE(r->attrs.permissions ? qint64(*r->attrs.permissions) : -1, permissions);
    QCOMPARE(r->attrs.uid ? qint64(*r->attrs.uid) : -1, uid);
}

void tst_SftpCodec::version_data() {
    QTest::addColumn<QByteArray>("packet");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QByteArrayList>("extensions");
    const QByteArray v3 = QByteArray(1, char(2)) + u32(3);
    QTest::newRow("no extensions") << v3 << true << QByteArrayList{};
    QTest::newRow("OpenSSH's") << v3 + str("posix-rename@openssh.com") + str("1") +
                                      str("fsync@openssh.com") + str("1")
                               << true
                               << QByteArrayList{"posix-rename@openssh.com", "fsync@openssh.com"};
    QTest::newRow("name without data") << v3 + str("x@example.com") << false << QByteArrayList{};
    QTest::newRow("not a version")
        << QByteArray(1, char(101)) + u32(3) << false << QByteArrayList{};
    QTest::newRow("cut in the version")
        << QByteArray(1, char(2)) + QByteArray(2, '\0') << false << QByteArrayList{};
}

void tst_SftpCodec::version() {
    QFETCH(QByteArray, packet);
    QFETCH(bool, valid);
    QFETCH(QByteArrayList, extensions);
    const auto v = Sftp::ParseVersion(packet);
    QCOMPARE(v.has_value(), valid);
    if (!v)
        return;
    QCOMPARE(v->version, 3u);
    QByteArrayList names;
    for (const auto& [name, data] : v->extensions)
        names << name;
    QCOMPARE(names, extensions);
}

void tst_SftpCodec::requests() {
    // Byte for byte as draft-ietf-secsh-filexfer-02 lays them out.
    QCOMPARE(Sftp::InitPacket(), frame(QByteArray(1, char(1)) + u32(3)));
    Sftp::FileAttrs mode;
    mode.permissions = 0640;
    QCOMPARE(Sftp::OpenPacket(5, "a b", 0x1a, mode),
             frame(QByteArray(1, char(3)) + u32(5) + str("a b") + u32(0x1a) + u32(4) + u32(0640)));
    QCOMPARE(Sftp::WritePacket(6, "h", 0x100000002ULL, "xyz"),
             frame(QByteArray(1, char(6)) + u32(6) + str("h") + u32(1) + u32(2) + str("xyz")));
    QCOMPARE(Sftp::PosixRenamePacket(8, "f", "t"),
             frame(QByteArray(1, char(200)) + u32(8) + str("posix-rename@openssh.com") + str("f") +
                   str("t")));
    QCOMPARE(Sftp::FsetstatPacket(9, "h", {}),
             frame(QByteArray(1, char(10)) + u32(9) + str("h") + u32(0)));
    const auto header = Sftp::RequestHeader(Sftp::RenamePacket(11, "f", "t"));
    QVERIFY(header);
    QCOMPARE(header->first, quint8(18));
    QCOMPARE(header->second, 11u);
}

void tst_SftpCodec::framer_data() {
    QTest::addColumn<QByteArrayList>("pieces");
    QTest::addColumn<QByteArrayList>("packets");
    QTest::addColumn<bool>("failed");
    const QByteArray a(QByteArray(1, char(101)) + u32(1));
    const QByteArray b(QByteArray(1, char(102)) + u32(2) + u32(0));
    const QByteArray both = frame(a) + frame(b);
    QTest::newRow("two in one read") << QByteArrayList{both} << QByteArrayList{a, b} << false;
    QByteArrayList bytes;
    for (const char c : both)
        bytes << QByteArray(1, c);
    QTest::newRow("a byte at a time") << bytes << QByteArrayList{a, b} << false;
    QTest::newRow("cut in the length")
        << QByteArrayList{frame(a) + QByteArray(2, '\0')} << QByteArrayList{a} << false;
    QTest::newRow("zero length") << QByteArrayList{frame(a) + u32(0) + frame(b)}
                                 << QByteArrayList{a} << true;
    QTest::newRow("a length over the limit")
        << QByteArrayList{u32(Sftp::MaxPacket + 1)} << QByteArrayList{} << true;
    QTest::newRow("the largest allowed, whole")
        << QByteArrayList{frame(QByteArray(Sftp::MaxPacket, 'x'))}
        << QByteArrayList{QByteArray(Sftp::MaxPacket, 'x')} << false;
}

void tst_SftpCodec::framer() {
    QFETCH(QByteArrayList, pieces);
    QFETCH(QByteArrayList, packets);
    QFETCH(bool, failed);
    Sftp::Framer framer;
    QByteArrayList got;
    for (const QByteArray& piece : pieces) {
        framer.feed(piece);
        while (auto packet = framer.next())
            got << *packet;
    }
    QCOMPARE(got, packets);
    QCOMPARE(framer.failed(), failed);
}

QTEST_GUILESS_MAIN(tst_SftpCodec)
#include "tst_sftpcodec.moc"
