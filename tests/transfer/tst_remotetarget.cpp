#include "DestinationKey.h"
#include "FtpUrl.h"
#include "HostAddresses.h"
#include "PutOperation.h"
#include "RemoteTarget.h"

#include <QTest>
#include <QUrl>

class tst_RemoteTarget : public QObject {
    Q_OBJECT
private slots:
    void parseRemoteHost_data();
    void parseRemoteHost();
    void curlUrl();
    void urlRoundTrip();
    void splitPutOperation_data();
    void splitPutOperation();
    void encodeRemotePath_data();
    void encodeRemotePath();
    void unsafeText_data();
    void unsafeText();
    void temporaryName();
    void destinationKey_data();
    void destinationKey();
    void hostResolvesTo_data();
    void hostResolvesTo();
};

namespace {

PublishJob jobFor(const QString& host, const QString& user, const QString& password,
                  OptionalTls tls = OptionalTls::Verified) {
    PublishJob job;
    job.endpoint = *ParseRemoteHost(host);
    job.userName = user;
    job.password = password;
    job.optionalTls = tls;
    return job;
}

} // namespace

Q_DECLARE_METATYPE(PublishJob)

void tst_RemoteTarget::parseRemoteHost_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("url");
    QTest::addColumn<int>("port");

    QTest::newRow("name") << "ftp.example.com" << true << "ftp://ftp.example.com/" << 21;
    QTest::newRow("name:port") << "ftp.example.com:2121" << true << "ftp://ftp.example.com:2121/"
                               << 2121;
    QTest::newRow("ipv4:port") << "127.0.0.1:21" << true << "ftp://127.0.0.1:21/" << 21;
    QTest::newRow("[v6]:port") << "[::1]:2121" << true << "ftp://[::1]:2121/" << 2121;
    QTest::newRow("[v6]") << "[::1]" << true << "ftp://[::1]/" << 21;
    QTest::newRow("bare v6") << "::1" << true << "ftp://[::1]/" << 21;
    QTest::newRow("empty") << "" << false << "" << 0;
    QTest::newRow("port 0") << "host:0" << false << "" << 0;
    QTest::newRow("port too big") << "host:65536" << false << "" << 0;
    QTest::newRow("port not a number") << "host:ftp" << false << "" << 0;
    QTest::newRow("empty port") << "host:" << false << "" << 0;
    QTest::newRow("signed port") << "host:+21" << false << "" << 0;
    QTest::newRow("credentials smuggled") << "user:pw@host" << false << "" << 0;
    QTest::newRow("path smuggled") << "host/dir" << false << "" << 0;
    QTest::newRow("space") << "my host" << false << "" << 0;
    QTest::newRow("unclosed bracket") << "[::1:21" << false << "" << 0;
    QTest::newRow("bracketed name") << "[example.com]:21" << false << "" << 0;
    QTest::newRow("junk after bracket") << "[::1]x21" << false << "" << 0;
    QTest::newRow("bare bad v6") << "a:b:c" << false << "" << 0;
    QTest::newRow("v6 scope id naming a host") << "[::1%x@127.0.0.1:21/]" << false << "" << 0;
    QTest::newRow("bare v6 with scope id") << "::1%eth0" << false << "" << 0;
    QTest::newRow("v6 with a tab") << "[::\t1]" << false << "" << 0;
    QTest::newRow("DEL in a name") << "ftp\x7f.example.com" << false << "" << 0;
    // A scheme names the transport, with its own default port.
    QTest::newRow("ftp://") << "ftp://h" << true << "ftp://h/" << 21;
    QTest::newRow("ftp:// with slash") << "FTP://h/" << true << "ftp://h/" << 21;
    QTest::newRow("ftpes://") << "ftpes://h" << true << "ftpes://h/" << 21;
    QTest::newRow("ftps://") << "ftps://h" << true << "ftps://h/" << 990;
    QTest::newRow("ftps:// port") << "ftps://h:2990" << true << "ftps://h:2990/" << 2990;
    QTest::newRow("sftp://") << "sftp://h" << true << "sftp://h/" << 22;
    QTest::newRow("sftp://[v6]:port")
        << "sftp://[::1]:2222" << true << "sftp://[::1]:2222/" << 2222;
    QTest::newRow("unknown scheme") << "http://h" << false << "" << 0;
    QTest::newRow("scheme, no host") << "sftp://" << false << "" << 0;
    QTest::newRow("scheme with path") << "ftp://h/dir" << false << "" << 0;
    QTest::newRow("scheme with credentials") << "sftp://u:p@h" << false << "" << 0;
}

void tst_RemoteTarget::parseRemoteHost() {
    QFETCH(QString, text);
    QFETCH(bool, valid);
    const auto endpoint = ParseRemoteHost(text);
    QCOMPARE(endpoint.has_value(), valid);
    if (!valid)
        return;
    QFETCH(QString, url);
    QFETCH(int, port);
    QCOMPARE(FormUrl(*endpoint), url);
    QCOMPARE(int(endpoint->port), port);
    QVERIFY(!FormUrl(*endpoint).contains(u'@'));
}

void tst_RemoteTarget::curlUrl() {
    // libcurl gets its own scheme for the transport and always the port.
    QCOMPARE(CurlBaseUrl(*ParseRemoteHost("h")), QByteArray("ftp://h:21/"));
    QCOMPARE(CurlBaseUrl(*ParseRemoteHost("ftpes://h")), QByteArray("ftp://h:21/"));
    QCOMPARE(CurlBaseUrl(*ParseRemoteHost("ftps://h")), QByteArray("ftps://h:990/"));
    // SFTP goes through ssh, not libcurl.
    QCOMPARE(CurlBaseUrl(*ParseRemoteHost("sftp://[::1]")), QByteArray());
}

void tst_RemoteTarget::urlRoundTrip() {
    for (const QString& host :
         {QStringLiteral("h"), QStringLiteral("h:99"), QStringLiteral("[::1]:7")}) {
        const auto endpoint = ParseUrl(FormUrl(*ParseRemoteHost(host)));
        QVERIFY2(endpoint, qPrintable(host));
        QCOMPARE(FormUrl(*endpoint), FormUrl(*ParseRemoteHost(host)));
    }
    QVERIFY(!ParseUrl(QStringLiteral("http://h/")));
    QVERIFY(!ParseUrl(QStringLiteral("ftp://h/dir/")));
    QVERIFY(!ParseUrl(QStringLiteral("ftp://u:p@h/")));
    QVERIFY(!ParseUrl(QStringLiteral("ftp://h")));
}

void tst_RemoteTarget::splitPutOperation_data() {
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("local");
    QTest::addColumn<QString>("remote");

    const QStringList plain{"/a/channel_list.txt"};
    QTest::newRow("plain") << "Put /a/channel_list.txt public_html/channel_list.txt" << plain
                           << true << "/a/channel_list.txt"
                           << "public_html/channel_list.txt";
    QTest::newRow("verb case") << "put /a/channel_list.txt x" << plain << true
                               << "/a/channel_list.txt"
                               << "x";
    QTest::newRow("space in local")
        << "Put /my docs/list.txt public_html/channel_list.txt" << QStringList{"/my docs/list.txt"}
        << true << "/my docs/list.txt"
        << "public_html/channel_list.txt";
    QTest::newRow("space in both")
        << "Put /my docs/list.txt my site/channel_list.txt" << QStringList{"/my docs/list.txt"}
        << true << "/my docs/list.txt"
        << "my site/channel_list.txt";
    // The longest left part that is a file wins: the remote may hold spaces.
    QTest::newRow("file named like a prefix")
        << "Put /d/a b c" << QStringList{"/d/a", "/d/a b"} << true << "/d/a b"
        << "c";
    QTest::newRow("empty remote location")
        << "Put /a/channel_list.txt channel_list.txt" << plain << true << "/a/channel_list.txt"
        << "channel_list.txt";
    QTest::newRow("no local file") << "Put /missing x" << QStringList{} << false << ""
                                   << "";
    QTest::newRow("no remote") << "Put /a/channel_list.txt " << plain << false << ""
                               << "";
    QTest::newRow("remote is a directory")
        << "Put /a/channel_list.txt public_html/" << plain << false << ""
        << "";
    QTest::newRow("other verb") << "Get /a/channel_list.txt x" << plain << false << ""
                                << "";
    QTest::newRow("no space after verb") << "Put/a/channel_list.txt x" << plain << false << ""
                                         << "";
    QTest::newRow("empty") << "" << plain << false << ""
                           << "";
}

void tst_RemoteTarget::splitPutOperation() {
    QFETCH(QString, operation);
    QFETCH(QStringList, files);
    QFETCH(bool, valid);
    const auto put =
        SplitPutOperation(operation, [&](const QString& path) { return files.contains(path); });
    QCOMPARE(put.has_value(), valid);
    if (!valid)
        return;
    QFETCH(QString, local);
    QFETCH(QString, remote);
    QCOMPARE(put->localFileName, local);
    QCOMPARE(put->remoteFileName, remote);
}

void tst_RemoteTarget::encodeRemotePath_data() {
    QTest::addColumn<QString>("remote");
    QTest::addColumn<QByteArray>("path");

    QTest::newRow("default") << "public_html/channel_list.txt"
                             << QByteArray("public_html/channel_list.txt");
    QTest::newRow("no slash") << "wwwchannel_list.txt" << QByteArray("wwwchannel_list.txt");
    QTest::newRow("absolute") << "/srv/channel_list.txt" << QByteArray("%2Fsrv/channel_list.txt");
    QTest::newRow("reserved") << "a b/#?%;x" << QByteArray("a%20b/%23%3F%25%3Bx");
    QTest::newRow("utf-8") << QString::fromUtf8("caf\u00e9/list") << QByteArray("caf%C3%A9/list");
}

void tst_RemoteTarget::encodeRemotePath() {
    QFETCH(QString, remote);
    QFETCH(QByteArray, path);
    QCOMPARE(EncodeRemotePath(remote), path);
    QCOMPARE(QUrl::fromPercentEncoding(path), remote);
}

void tst_RemoteTarget::unsafeText_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("unsafe");
    QTest::newRow("plain") << "pass word@:/" << false;
    QTest::newRow("CR") << "pw\rDELE x" << true;
    QTest::newRow("LF") << "pw\nDELE x" << true;
    QTest::newRow("NUL") << QString(QStringLiteral("pw") + QChar(0) + QStringLiteral("x")) << true;
    QTest::newRow("tab is fine") << "a\tb" << false;
}

void tst_RemoteTarget::unsafeText() {
    QFETCH(QString, text);
    QFETCH(bool, unsafe);
    QCOMPARE(HasUnsafeText(text), unsafe);
}

void tst_RemoteTarget::temporaryName() {
    QCOMPARE(TemporaryNameFor(QStringLiteral("public_html/channel_list.txt"), QStringLiteral("ab")),
             QStringLiteral("public_html/.channel_list.txt.ab.part"));
    QCOMPARE(TemporaryNameFor(QStringLiteral("channel_list.txt"), QStringLiteral("ab")),
             QStringLiteral(".channel_list.txt.ab.part"));
    // Beside the final name in its folder, even where the folder's own name
    // begins with a dot.
    QCOMPARE(
        VisibleTemporaryNameFor(QStringLiteral(".site/channel_list.txt"), QStringLiteral("ab")),
        QStringLiteral(".site/channel_list.txt.ab.part"));
    QCOMPARE(RemoteFolderOf(QStringLiteral("/a/b/channel_list.txt")), QStringLiteral("/a/b/"));
    QCOMPARE(RemoteFolderOf(QStringLiteral("wwwchannel_list.txt")), QString());
}

void tst_RemoteTarget::destinationKey_data() {
    QTest::addColumn<PublishJob>("other");
    QTest::addColumn<bool>("sameSession");
    QTest::addColumn<bool>("sameServer");

    // Against a bare host "h", user "u", password "p", verified TLS asked.
    QTest::newRow("the same") << jobFor("h", "u", "p") << true << true;
    QTest::newRow("ftp://, the same") << jobFor("ftp://h:21", "u", "p") << true << true;
    QTest::newRow("ftpes://") << jobFor("ftpes://h", "u", "p") << false << false;
    QTest::newRow("ftps://") << jobFor("ftps://h", "u", "p") << false << false;
    QTest::newRow("sftp://") << jobFor("sftp://h", "u", "p") << false << false;
    QTest::newRow("another port") << jobFor("h:2121", "u", "p") << false << false;
    QTest::newRow("another name") << jobFor("H", "u", "p") << false << false;
    QTest::newRow("another user") << jobFor("h", "v", "p") << false << true;
    QTest::newRow("another password") << jobFor("h", "u", "q") << false << true;
    QTest::newRow("clear text asked") << jobFor("h", "u", "p", OptionalTls::Off) << false << true;
    QTest::newRow("unverified TLS asked")
        << jobFor("h", "u", "p", OptionalTls::Unverified) << false << true;
}

void tst_RemoteTarget::destinationKey() {
    QFETCH(PublishJob, other);
    QFETCH(bool, sameSession);
    QFETCH(bool, sameServer);
    const DestinationKey key = KeyFor(jobFor("h", "u", "p"));
    const DestinationKey otherKey = KeyFor(other);
    QCOMPARE(key.session() == otherKey.session(), sameSession);
    QCOMPARE(key.server() == otherKey.server(), sameServer);
    // The password never stands in a key.
    QVERIFY(!otherKey.session().contains('\0' + other.password.toUtf8() + '\0'));
    QVERIFY(!otherKey.session().endsWith('\0' + other.password.toUtf8()));
}

void tst_RemoteTarget::hostResolvesTo_data() {
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("resolves");
    QTest::newRow("the address itself") << "127.0.0.1" << "127.0.0.1" << true;
    QTest::newRow("localhost") << "localhost" << "127.0.0.1" << true;
    QTest::newRow("another address") << "127.0.0.2" << "127.0.0.1" << false;
    QTest::newRow("a name that resolves nowhere") << "nowhere.invalid" << "127.0.0.1" << false;
    QTest::newRow("no address known") << "127.0.0.1" << "" << false;
}

void tst_RemoteTarget::hostResolvesTo() {
    QFETCH(QString, host);
    QFETCH(QString, address);
    QFETCH(bool, resolves);
    QCOMPARE(HostResolvesTo(host, address), resolves);
}

QTEST_GUILESS_MAIN(tst_RemoteTarget)
#include "tst_remotetarget.moc"
