#include "TransferInet.h"
#include "FtpTestServer.h"
#include "FtpFailure.h"
#include "ResponseCodes.h"
#include "TestFiles.h"
#include "TestProgram.h"
#include "TransferTestHelpers.h"
#include "UploadFile.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

#include <curl/curl.h>

class tst_TransferInet : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();

    void publishes_data();
    void publishes();
    void replacesEarlierFile();
    void failures_data();
    void failures();
    void awkwardCredentials_data();
    void awkwardCredentials();
    void unsafeTextSendsNothing_data();
    void unsafeTextSendsNothing();
    void ipv6HostPort();
    void urlHoldsNoCredentials();
    void droppedStoreKeepsPublishedFile_data();
    void droppedStoreKeepsPublishedFile();
    void renameQuirks_data();
    void renameQuirks();
    void refusedNames_data();
    void refusedNames();
    void stalledServerFailsWhileLoopRuns_data();
    void stalledServerFailsWhileLoopRuns();
    void abortEndsTransfer_data();
    void abortEndsTransfer();
    void vsftpd_data();
    void vsftpd();

private:
    LocalFolder local_;
    QByteArray bytes_ = AccentedChannelList();
};

void tst_TransferInet::initTestCase() {
    SetUpTestProgram();
    QVERIFY(local_.isValid());
}

void tst_TransferInet::init() {
    QVERIFY(local_.clear());
}

void tst_TransferInet::publishes_data() {
    QTest::addColumn<QString>("localName");
    QTest::addColumn<QString>("location");
    QTest::addColumn<QString>("remoteDir"); // as created on the server
    QTest::addColumn<QString>("remoteName");

    // clang-format off
    QTest::newRow("default location")      << "channel_list.txt" << "public_html/" << "public_html" << "channel_list.txt";
    QTest::newRow("no trailing slash")     << "channel_list.txt" << "www" << "" << "wwwchannel_list.txt";
    QTest::newRow("empty location")        << "channel_list.txt" << "" << "" << "channel_list.txt";
    QTest::newRow("local of another name") << "data/list.txt" << "public_html/" << "public_html" << "channel_list.txt";
    QTest::newRow("spaces in local path")  << "my docs/channel list.txt" << "public_html/" << "public_html" << "channel_list.txt";
    QTest::newRow("marks in location")     << "channel_list.txt" << "my site #1?/" << "my site #1?" << "channel_list.txt";
    QTest::newRow("percent in location")   << "channel_list.txt" << "100%/" << "100%" << "channel_list.txt";
    QTest::newRow("non-ASCII location")    << "channel_list.txt" << QString::fromUtf8("caf\u00e9/") << QString::fromUtf8("caf\u00e9") << "channel_list.txt";
    QTest::newRow("absolute location")     << "channel_list.txt" << "/public_html/" << "public_html" << "channel_list.txt";
    QTest::newRow("nested location")       << "channel_list.txt" << "public_html/tv/" << "public_html/tv" << "channel_list.txt";
    // clang-format on
}

void tst_TransferInet::publishes() {
    QFETCH(QString, localName);
    QFETCH(QString, location);
    QFETCH(QString, remoteDir);
    QFETCH(QString, remoteName);
    FtpTestServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QVERIFY(QDir().mkpath(server.root() + "/" + remoteDir));
    const QString local = local_.write(localName, bytes_);

    QVERIFY(UploadFile(TransferInetFactory(TestTimeouts()), server.hostPort(), server.user(),
                       server.password(), local, location + "channel_list.txt"));
    const QString remotePath = remoteDir.isEmpty() ? remoteName : remoteDir + "/" + remoteName;
    QCOMPARE(server.remoteBytes(remotePath), bytes_);
    // Exactly the final file: no temporary copy left beside it.
    QStringList expected{remoteName};
    if (remoteDir.isEmpty())
        expected << "public_html";
    expected.sort();
    QStringList entries = server.entries(remoteDir);
    entries.removeAll("tv");
    if (remoteDir.isEmpty())
        entries.removeAll(QString::fromUtf8("caf\u00e9"));
    QCOMPARE(entries, expected);
}

void tst_TransferInet::replacesEarlierFile() {
    FtpTestServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QVERIFY(
        server.writeRemote("public_html/channel_list.txt", "old list, longer than the new one\n"));
    const QString local = local_.write("channel_list.txt", "new\n");
    for (int i = 0; i < 3; ++i) {
        TransferInet inet(TestTimeouts());
        QCOMPARE(RunPut(inet, server.hostPort(), server.user(), server.password(), local,
                        "public_html/channel_list.txt"),
                 ResponseCodes::Ok);
    }
    QCOMPARE(server.remoteBytes("public_html/channel_list.txt"), QByteArray("new\n"));
    QCOMPARE(server.entries("public_html"), QStringList{"channel_list.txt"});
}

void tst_TransferInet::failures_data() {
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("local");
    QTest::addColumn<QString>("remote");
    QTest::addColumn<qint32>("code");

    QTest::newRow("wrong password") << ""
                                    << "wrong"
                                    << "channel_list.txt"
                                    << "public_html/channel_list.txt" << 530;
    QTest::newRow("missing remote directory") << ""
                                              << ""
                                              << "channel_list.txt"
                                              << "nowhere/channel_list.txt" << 550;
    QTest::newRow("missing local file")
        << ""
        << ""
        << "absent.txt"
        << "public_html/channel_list.txt" << ResponseCodes::BadOperation;
    QTest::newRow("local is a directory")
        << ""
        << ""
        << "."
        << "public_html/channel_list.txt" << ResponseCodes::BadOperation;
    QTest::newRow("nobody listening")
        << "127.0.0.1:1"
        << ""
        << "channel_list.txt"
        << "public_html/channel_list.txt" << ResponseCodes::CurlBase + CURLE_COULDNT_CONNECT;
}

void tst_TransferInet::failures() {
    QFETCH(QString, host);
    QFETCH(QString, password);
    QFETCH(QString, local);
    QFETCH(QString, remote);
    QFETCH(qint32, code);
    FtpTestServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    local_.write("channel_list.txt", bytes_);
    const QString localPath = local == "." ? local_.path() : local_.filePath(local);

    TransferInet inet(TestTimeouts());
    QCOMPARE(RunPut(inet, host.isEmpty() ? server.hostPort() : host, server.user(),
                    password.isEmpty() ? server.password() : password, localPath, remote),
             code);
    QVERIFY(!UploadFile(TransferInetFactory(TestTimeouts()), host.isEmpty() ? server.hostPort() : host,
                        server.user(), password.isEmpty() ? server.password() : password, localPath,
                        remote));
    QCOMPARE(server.entries("public_html"), QStringList{});
}

void tst_TransferInet::awkwardCredentials_data() {
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::newRow("at and colon") << "web@site.example"
                                  << "p:a@ss";
    QTest::newRow("slash and space") << "a user"
                                     << "pa/ss word";
    QTest::newRow("percent and hash") << "u%20"
                                      << "#?%41";
    QTest::newRow("non-ASCII") << QString::fromUtf8("j\u00fcrgen")
                               << QString::fromUtf8("m\u00f6tley\u2603");
}

void tst_TransferInet::awkwardCredentials() {
    QFETCH(QString, user);
    QFETCH(QString, password);
    FtpTestServer server;
    QVERIFY2(server.start({.user = user, .password = password}), qPrintable(server.errorString()));
    const QString local = local_.write("channel_list.txt", bytes_);
    QVERIFY(UploadFile(TransferInetFactory(TestTimeouts()), server.hostPort(), user, password, local,
                       "public_html/channel_list.txt"));
    QCOMPARE(server.remoteBytes("public_html/channel_list.txt"), bytes_);
}

void tst_TransferInet::unsafeTextSendsNothing_data() {
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("bad");
    for (const char* field : {"host", "user", "password", "local", "remote"}) {
        QTest::addRow("%s CR LF", field) << field << "x\r\nDELE public_html/keep.txt";
        QTest::addRow("%s LF", field) << field << "x\nDELE public_html/keep.txt";
        QTest::addRow("%s NUL", field) << field << QString("x" + QString(QChar(0)) + "y");
    }
}

void tst_TransferInet::unsafeTextSendsNothing() {
    QFETCH(QString, field);
    QFETCH(QString, bad);
    FtpTestServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QString host = server.hostPort(), user = server.user(), password = server.password();
    QString local = local_.write("channel_list.txt", bytes_);
    QString remote = "public_html/channel_list.txt";
    if (field == "host")
        host += bad;
    if (field == "user")
        user += bad;
    if (field == "password")
        password += bad;
    if (field == "local") {
        // Make the tainted name a real file, so only the check can refuse it.
        if (bad.at(1) != QChar(0)) {
            local = local_.write("evil" + QString(bad.at(1)) + ".txt", bytes_);
            QVERIFY(QFile::exists(local));
        } else {
            local += bad;
        }
    }
    if (field == "remote")
        remote += bad;
    QVERIFY(!UploadFile(TransferInetFactory(TestTimeouts()), host, user, password, local, remote));
    QTest::qWait(200);
    QCOMPARE(server.commands(), QStringList{});
}

void tst_TransferInet::ipv6HostPort() {
    FtpTestServer server;
    if (!server.start({.host = "::1"}))
        QSKIP(qPrintable("no IPv6 loopback: " + server.errorString()));
    QVERIFY(server.hostPort().startsWith("[::1]:"));
    const QString local = local_.write("channel_list.txt", bytes_);
    QVERIFY(UploadFile(TransferInetFactory(TestTimeouts()), server.hostPort(), server.user(),
                       server.password(), local, "public_html/channel_list.txt"));
    QCOMPARE(server.remoteBytes("public_html/channel_list.txt"), bytes_);
}

void tst_TransferInet::urlHoldsNoCredentials() {
    TransferInet inet;
    QCOMPARE(inet.ResponseCode(), ResponseCodes::NoOperation);
    inet.SetRemoteHost("ftp.example.com:2121");
    inet.SetUserName("bob");
    inet.SetPassword("secret");
    QCOMPARE(inet.URL(), QStringLiteral("ftp://ftp.example.com:2121/"));
    inet.SetRemoteHost("bob:secret@ftp.example.com");
    QVERIFY_THROWS_EXCEPTION(InetError, inet.URL());
    QVERIFY_THROWS_EXCEPTION(InetError, inet.SetProtocol(1));
}

void tst_TransferInet::droppedStoreKeepsPublishedFile_data() {
    QTest::addColumn<QString>("mode");
    QTest::newRow("mid-data") << "drop-mid-data";
    QTest::newRow("after data, before reply") << "drop-after-data";
    QTest::newRow("between store and rename") << "drop-before-rename";
    QTest::newRow("at log-in") << "drop-at-login";
}

void tst_TransferInet::droppedStoreKeepsPublishedFile() {
    QFETCH(QString, mode);
    FtpTestServer server;
    QVERIFY2(server.start({.mode = mode, .dropAfter = 64 * 1024}),
             qPrintable(server.errorString()));
    const QByteArray published = "the list as published before\n";
    QVERIFY(server.writeRemote("public_html/channel_list.txt", published));
    const QString local = local_.write("channel_list.txt", QByteArray(1024 * 1024, 'x'));

    QVERIFY(!UploadFile(TransferInetFactory(TestTimeouts()), server.hostPort(), server.user(),
                        server.password(), local, "public_html/channel_list.txt"));
    QCOMPARE(server.remoteBytes("public_html/channel_list.txt"), published);
    QCOMPARE(server.entries("public_html"), QStringList{"channel_list.txt"});
}

void tst_TransferInet::renameQuirks_data() {
    QTest::addColumn<QString>("mode");
    QTest::addColumn<bool>("existing");
    QTest::newRow("no rename onto existing") << "no-overwrite" << true;
    QTest::newRow("no renames at all") << "no-rename" << true;
    QTest::newRow("no renames, first upload") << "no-rename" << false;
    QTest::newRow("no SIZE command") << "no-size" << true;
    // The file's permissions cannot be kept: it is published as before.
    QTest::newRow("nothing told of a file") << "no-facts" << true;
}

void tst_TransferInet::renameQuirks() {
    QFETCH(QString, mode);
    QFETCH(bool, existing);
    FtpTestServer server;
    QVERIFY2(server.start({.mode = mode}), qPrintable(server.errorString()));
    if (existing)
        QVERIFY(server.writeRemote("public_html/channel_list.txt", "old\n"));
    const QString local = local_.write("channel_list.txt", bytes_);
    TransferInet inet(TestTimeouts());
    QCOMPARE(RunPut(inet, server.hostPort(), server.user(), server.password(), local,
                    "public_html/channel_list.txt"),
             ResponseCodes::Ok);
    QCOMPARE(server.remoteBytes("public_html/channel_list.txt"), bytes_);
    QCOMPARE(server.entries("public_html"), QStringList{"channel_list.txt"});
}

void tst_TransferInet::refusedNames_data() {
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<bool>("existing");
    QTest::addColumn<qint32>("code");
    // What went out after the log-in: the stores, then every command.
    QTest::addColumn<int>("stores");
    QTest::addColumn<int>("commands");

    // Asking what the file is costs STAT, and MLST where STAT shows no file
    // (pure-ftpd's STAT shows a folder or a link it cannot follow so); a store EPSV, TYPE (the first only), STOR and
    // SIZE (STAT where the file's permissions are to be kept); the rename
    // RNFR and RNTO; the folder check CWD there and CWD back; once the list
    // is in place, the run's look at the folder: STAT -a of it, which
    // pyftpdlib takes for a name, then STAT.
    // clang-format off
    QTest::newRow("safe path")                 << "normal" << "public_html/" << true << 0 << 1 << 9;
    QTest::newRow("dot names refused")         << "no-dot-names" << "public_html/" << true << 0 << 2 << 13;
    QTest::newRow("dot names refused, first")  << "no-dot-names" << "public_html/" << false << 0 << 2 << 14;
    QTest::newRow("dot names refused, login folder") << "no-dot-names" << "" << true << 0 << 2 << 11;
    QTest::newRow("temporary names refused")   << "only-plain-names" << "public_html/" << true << 0 << 3 << 13;
    QTest::newRow("new files refused")         << "no-new-files" << "public_html/" << true << 0 << 3 << 13;
    QTest::newRow("new files refused, first")  << "no-new-files" << "public_html/" << false << 550 << 3 << 11;
    QTest::newRow("missing folder")            << "normal" << "nowhere/" << false << 550 << 1 << 6;
    QTest::newRow("missing folder, dot names refused") << "no-dot-names" << "nowhere/" << false << 550 << 1 << 6;
    // clang-format on
}

void tst_TransferInet::refusedNames() {
    QFETCH(QString, mode);
    QFETCH(QString, folder);
    QFETCH(bool, existing);
    QFETCH(qint32, code);
    QFETCH(int, stores);
    QFETCH(int, commands);
    FtpTestServer server;
    QVERIFY2(server.start({.mode = mode}), qPrintable(server.errorString()));
    const QString remote = folder + "channel_list.txt";
    const QByteArray old("old\n");
    if (existing)
        QVERIFY(server.writeRemote(remote, old));
    const QString local = local_.write("channel_list.txt", bytes_);
    TransferInet inet(TestTimeouts());
    QCOMPARE(RunPut(inet, server.hostPort(), server.user(), server.password(), local, remote),
             code);
    QCOMPARE(server.remoteBytes(remote), code == 0 ? bytes_ : existing ? old : QByteArray());

    QStringList sent = server.commands();
    sent = sent.mid(sent.indexOf(QRegularExpression("PASS .*")) + 1);
    for (const char* quiet : {"DISCONNECT", "PWD", "QUIT"})
        sent.removeAll(quiet);
    qInfo().noquote() << "after log-in:" << sent.join(", ");
    QCOMPARE(sent.filter(QRegularExpression("^STOR ")).size(), stores);
    QCOMPARE(sent.size(), commands);
    const QString dir = folder.isEmpty() ? QString() : folder.chopped(1);
    QStringList expected;
    if (code == 0 || existing)
        expected << "channel_list.txt";
    if (folder.isEmpty())
        expected << "public_html";
    if (dir != "nowhere")
        QCOMPARE(server.entries(dir), expected);
}

void tst_TransferInet::stalledServerFailsWhileLoopRuns_data() {
    QTest::addColumn<QString>("mode");
    QTest::newRow("no banner") << "no-banner";
    QTest::newRow("no reply to STOR") << "stall-reply";
    QTest::newRow("data stops") << "stall-data";
}

void tst_TransferInet::stalledServerFailsWhileLoopRuns() {
    QFETCH(QString, mode);
    FtpTestServer server;
    QVERIFY2(server.start({.mode = mode, .dropAfter = 64 * 1024}),
             qPrintable(server.errorString()));
    QVERIFY(server.writeRemote("public_html/channel_list.txt", "published\n"));
    const QString local = local_.write("channel_list.txt", QByteArray(8 * 1024 * 1024, 'x'));

    int ticks = 0;
    QTimer timer;
    connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(100);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!UploadFile(TransferInetFactory(TestTimeouts()), server.hostPort(), server.user(),
                        server.password(), local, "public_html/channel_list.txt"));
    const qint64 ms = clock.elapsed();
    // It gives up after the short time-outs instead of waiting forever, and
    // the event loop ran all along.
    QVERIFY2(ms < 20'000, qPrintable(QString::number(ms)));
    QVERIFY2(ticks >= ms / 100 / 2, qPrintable(QString("%1 ticks in %2 ms").arg(ticks).arg(ms)));
    QCOMPARE(server.remoteBytes("public_html/channel_list.txt"), QByteArray("published\n"));
}

void tst_TransferInet::abortEndsTransfer_data() {
    QTest::addColumn<QString>("mode");
    QTest::addColumn<int>("size");
    QTest::addColumn<QByteArray>("list"); // what the list holds once it returned
    QTest::addColumn<qint32>("code");
    // Mid-store: the copy it was writing goes before it returns, so that a
    // closed window leaves nothing half written beside the list.
    QTest::newRow("mid-store") << "stall-data" << 8 * 1024 * 1024 << QByteArray("old\n")
                               << ResponseCodes::Aborted;
    // The list removed to make way and the rename unanswered: the rename is
    // finished on a log-in of its own before it returns.
    QTest::newRow("between the removal and the rename")
        << "stall-after-removal" << 1024 << QByteArray(1024, 'x') << ResponseCodes::Ok;
}

void tst_TransferInet::abortEndsTransfer() {
    QFETCH(QString, mode);
    QFETCH(int, size);
    QFETCH(QByteArray, list);
    QFETCH(qint32, code);
    FtpTestServer server;
    QVERIFY2(server.start({.mode = mode, .dropAfter = 64 * 1024}),
             qPrintable(server.errorString()));
    QVERIFY(server.writeRemote("public_html/channel_list.txt", "old\n"));
    const QString local = local_.write("channel_list.txt", QByteArray(size, 'x'));
    TransferTimeouts patient;
    TransferInet inet(patient);
    QTimer::singleShot(500, [&inet] { inet.Abort(); });
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(RunPut(inet, server.hostPort(), server.user(), server.password(), local,
                    "public_html/channel_list.txt"),
             code);
    QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
    qInfo("aborted and settled in %lld ms", clock.elapsed());
    QCOMPARE(server.entries("public_html"), QStringList{"channel_list.txt"});
    QCOMPARE(server.remoteBytes("public_html/channel_list.txt"), list);
}

void tst_TransferInet::vsftpd_data() {
    QTest::addColumn<QString>("folder"); // as typed
    QTest::addColumn<bool>("published");
    QTest::newRow("plain folder") << "public_html/" << true;
    // The store, the checks and the rename name one file, as typed: the
    // server resolves dot segments, or refuses them, alike for each.
    QTest::newRow("dotted folder leading back") << "public_html/../public_html/./" << true;
    QTest::newRow("dotted folder through a missing one") << "nosuch/../public_html/" << false;
}

void tst_TransferInet::vsftpd() {
    QFETCH(QString, folder);
    QFETCH(bool, published);
    FtpTestServer server(FtpTestServer::Kind::Vsftpd);
    START_OR_SKIP(server);
    QVERIFY(server.writeRemote("public_html/channel_list.txt", "old\n"));
    const QString local = local_.write("channel_list.txt", bytes_);
    for (int i = 0; i < 2; ++i) {
        QCOMPARE(UploadFile(TransferInetFactory(TestTimeouts()), server.hostPort(), server.user(),
                            server.password(), local, folder + "channel_list.txt"),
                 published);
    }
    QCOMPARE(server.remoteBytes("public_html/channel_list.txt"),
             published ? bytes_ : QByteArray("old\n"));
    QCOMPARE(server.entries("public_html"), QStringList{"channel_list.txt"});
    QCOMPARE(server.entries(""), QStringList{"public_html"});
}

QTEST_GUILESS_MAIN(tst_TransferInet)
#include "tst_transferinet.moc"
