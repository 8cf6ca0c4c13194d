#include "TransferInet.h"
#include "ForwardingInet.h"
#include "FtpTestServer.h"
#include "HeldSessions.h"
#include "LocalFile.h"
#include "PackagedFtpServer.h"
#include "Publish.h"
#include "FtpFailure.h"
#include "ResponseCodes.h"
#include "TestFiles.h"
#include "TestProgram.h"
#include "TransferTestHelpers.h"
#include "UploadControl.h"
#include "UploadFile.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTest>
#include <QTimer>

#include <curl/curl.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace {

const QString Remote = QStringLiteral("public_html/channel_list.txt");
const QByteArray Published = "the list as published before\n";

// Bytes that differ from one offset to the next, so that a shifted or mixed
// copy never compares equal.
QByteArray pattern(qint64 size) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 7 + i / 251) % 256);
    return bytes;
}

enum class Driver { UploadFile, TransferInet };

// One upload through either entry point: UploadFile's verdict, or the
// response code of a component driven directly (Ok or not for UploadFile).
qint32 upload(Driver driver, const QString& host, const QString& user, const QString& password,
              const QString& local, const QString& remote) {
    if (driver == Driver::TransferInet) {
        TransferInet inet(TestTimeouts());
        return RunPut(inet, host, user, password, local, remote);
    }
    return UploadFile(TransferInetFactory(TestTimeouts()), host, user, password, local, remote)
               ? ResponseCodes::Ok
               : -1;
}

int countEntries(const char* dir) {
    return int(QDir(QString::fromLatin1(dir))
                   .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                   .size());
}
int openFds() {
    return countEntries("/proc/self/fd");
}
int threads() {
    return countEntries("/proc/self/task");
}
qint64 rssKiB() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Where this process stands in the file at `path`: the offset of the
// descriptor open on it, or -1 while none is.
qint64 readOffset(const QString& path) {
    const QByteArray wanted = QFile::encodeName(path);
    const QStringList fds = QDir(QStringLiteral("/proc/self/fd"))
                                .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& fd : fds) {
        char target[4096];
        const QByteArray link = QFile::encodeName(QStringLiteral("/proc/self/fd/") + fd);
        const ssize_t n = ::readlink(link.constData(), target, sizeof target);
        if (n <= 0 || QByteArray(target, n) != wanted)
            continue;
        QFile info(QStringLiteral("/proc/self/fdinfo/") + fd);
        if (!info.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray& line : info.readAll().split('\n')) {
            if (line.startsWith("pos:"))
                return line.mid(4).trimmed().toLongLong();
        }
    }
    return -1;
}

// Counts the transfer components alive at once around a real one.
class CountedInet final : public ForwardingInet {
public:
    CountedInet(std::unique_ptr<Inet> inner, int& live, int& most)
        : ForwardingInet(std::move(inner)), live_(live) {
        most = std::max(most, ++live_);
    }
    ~CountedInet() override { --live_; }

private:
    int& live_;
};

struct FixedSettings final : UploadSettings {
    QString host, user, password, local, location, interval;
    QString HostName() const override { return host; }
    QString UserName() const override { return user; }
    QString Password() const override { return password; }
    QString LocalFileName() const override { return local; }
    QString RemoteLocation() const override { return location; }
    QString IntervalText() const override { return interval; }
    int AutoUploadGate() const override { return 1; }
};

struct CountingReporter final : ResultReporter {
    QStringList shown;
    void ShowResult(const QString& text) override { shown << text; }
};

} // namespace

Q_DECLARE_METATYPE(Driver)
Q_DECLARE_METATYPE(PackagedFtpServer::Kind)

class tst_Faults : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();

    void localFile_data();
    void localFile();
    void localFileOpen_data();
    void localFileOpen();
    void fileChangesWhileSent_data();
    void fileChangesWhileSent();
    void lyingSize_data();
    void lyingSize();
    void hostTextNamesOneHost_data();
    void hostTextNamesOneHost();
    void otherServers_data();
    void otherServers();
    void manyUploadsLeakNothing();
    void zeroIntervalNeverOverlaps();

private:
    LocalFolder local_;
    const QString dir_ = local_.path();
};

void tst_Faults::initTestCase() {
    SetUpTestProgram();
    QVERIFY(local_.isValid());
}

void tst_Faults::init() {
    QVERIFY(local_.clear());
}

void tst_Faults::localFile_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("remote");
    QTest::addColumn<qint32>("code");

    QTest::newRow("unreadable") << "unreadable" << Remote << ResponseCodes::LocalFileUnreadable;
    QTest::newRow("symlink to a directory") << "dir-link" << Remote << ResponseCodes::BadOperation;
    QTest::newRow("named pipe") << "fifo" << Remote << ResponseCodes::BadOperation;
    // "Put <dir>/list.txt old channel_list.txt" also splits into the file
    // list.txt and the remote name "old channel_list.txt": UploadFile, which
    // knows the two names, does not start such an upload.
    QTest::newRow("directory named after a file and a word")
        << "dir-after-file"
        << "channel_list.txt" << ResponseCodes::BadOperation;
    QTest::newRow("missing file named after a file and a word")
        << "missing-after-file"
        << "channel_list.txt" << ResponseCodes::BadOperation;
    QTest::newRow("empty") << "empty" << Remote << ResponseCodes::Ok;
}

void tst_Faults::localFile() {
    QFETCH(QString, kind);
    QFETCH(QString, remote);
    QFETCH(qint32, code);
    FtpTestServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QVERIFY(server.writeRemote(remote, Published));

    QString local = dir_ + QStringLiteral("/list.txt");
    uid_t uploader = geteuid();
    if (kind == "unreadable") {
        local_.write("list.txt", AccentedChannelList());
        QVERIFY(QFile::setPermissions(local, {}));
        if (uploader == 0) {
            const passwd* nobody = getpwnam("nobody");
            if (!nobody)
                QSKIP("running as root and there is no user \"nobody\" to drop to");
            uploader = nobody->pw_uid;
        }
    } else if (kind == "dir-link") {
        QVERIFY(QDir().mkpath(dir_ + "/sub"));
        QVERIFY(QFile::link(dir_ + "/sub", local));
    } else if (kind == "fifo") {
        QCOMPARE(::mkfifo(QFile::encodeName(local).constData(), 0644), 0);
    } else if (kind == "dir-after-file" || kind == "missing-after-file") {
        local_.write("list.txt", AccentedChannelList());
        local = dir_ + QStringLiteral("/list.txt old");
        if (kind == "dir-after-file")
            QVERIFY(QDir().mkpath(local));
    } else if (kind == "empty") {
        local_.write("list.txt", {});
    }

    qint32 direct = 0;
    qint32 viaUploadFile = 0;
    {
        EffectiveUser as(uploader);
        QVERIFY(as.ok());
        if (kind == "unreadable") {
            QFile probe(local);
            QVERIFY2(!probe.open(QIODevice::ReadOnly), "the file can still be read");
        }
        // Given the joined text alone, the component cannot tell which
        // split was meant.
        if (!kind.endsWith("-after-file"))
            direct = upload(Driver::TransferInet, server.hostPort(), server.user(), server.password(),
                            local, remote);
        viaUploadFile = upload(Driver::UploadFile, server.hostPort(), server.user(),
                               server.password(), local, remote);
    }
    if (!kind.endsWith("-after-file"))
        QCOMPARE(direct, code);
    QCOMPARE(viaUploadFile == ResponseCodes::Ok, code == ResponseCodes::Ok);

    QCOMPARE(server.remoteBytes(remote), code == ResponseCodes::Ok ? QByteArray() : Published);
    if (code == ResponseCodes::Ok) {
        // An empty file is still a file.
        QVERIFY(QFileInfo::exists(server.root() + u'/' + remote));
    } else {
        // Refused before a connection was made.
        QCOMPARE(server.commands(), QStringList{});
    }
    const QString remoteDir = QFileInfo(remote).path();
    QStringList expected{QFileInfo(remote).fileName()};
    if (remoteDir == ".")
        expected << "public_html";
    QCOMPARE(server.entries(remoteDir), expected);
}

void tst_Faults::localFileOpen_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("error"); // LocalFile::error(); 0: opened
    QTest::newRow("regular file") << "file" << 0;
    // Put in the file's place after the check: the open must not wait for
    // a writer that never comes.
    QTest::newRow("named pipe") << "fifo" << -1;
    QTest::newRow("folder") << "folder" << -1;
    QTest::newRow("device") << "/dev/null" << -1;
    QTest::newRow("missing") << "missing" << ENOENT;
}

void tst_Faults::localFileOpen() {
    QFETCH(QString, kind);
    QFETCH(int, error);
    QString path = dir_ + QStringLiteral("/list.txt");
    if (kind == "file")
        local_.write("list.txt", "Channel 1\n");
    else if (kind == "fifo")
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0644), 0);
    else if (kind == "folder")
        QVERIFY(QDir().mkpath(path));
    else if (kind.startsWith(u'/'))
        path = kind;
    LocalFile file;
    QCOMPARE(file.open(path), error == 0);
    QCOMPARE(file.error(), error);
    if (error == 0) {
        char buffer[64];
        QCOMPARE(file.read(buffer, sizeof buffer), qint64(10));
        return;
    }
    // The publish that opens it on the worker fails at once, with nothing
    // sent: no server listens on the port it would go to.
    PublishReport report;
    PublishJob job{*ParseRemoteHost(QStringLiteral("127.0.0.1:1")), QStringLiteral("u"),
                   QStringLiteral("pw"), path, QStringLiteral("channel_list.txt"), TestTimeouts()};
    job.report = &report;
    const std::atomic<bool> abort = false;
    QCOMPARE(Publish(job, abort), ResponseCodes::LocalFileUnreadable);
    QCOMPARE(report.localErrno, error);
}

void tst_Faults::fileChangesWhileSent_data() {
    QTest::addColumn<QString>("change");
    QTest::addColumn<Driver>("driver");
    QTest::newRow("grows, UploadFile") << "grows" << Driver::UploadFile;
    QTest::newRow("grows, component") << "grows" << Driver::TransferInet;
    QTest::newRow("shrinks, UploadFile") << "shrinks" << Driver::UploadFile;
    QTest::newRow("shrinks, component") << "shrinks" << Driver::TransferInet;
    // Written over in place with another list of the same size, as a program
    // that regenerates the list may do; never shorter, so never cut short.
    QTest::newRow("rewritten, component") << "rewritten" << Driver::TransferInet;
    QTest::newRow("rewritten, UploadFile") << "rewritten" << Driver::UploadFile;
}

void tst_Faults::fileChangesWhileSent() {
    QFETCH(QString, change);
    QFETCH(Driver, driver);
    constexpr qint64 Size = 16 * 1024 * 1024;
    constexpr qint64 Cut = Size / 2;
    FtpTestServer server;
    QVERIFY2(server.start({.throttle = 4 * 1024 * 1024}), qPrintable(server.errorString()));
    QVERIFY(server.writeRemote(Remote, Published));
    const QByteArray original = pattern(Size);
    const QByteArray rewritten = QByteArray(Size, 'z');
    const QString local = local_.write("channel_list.txt", original);

    // Changes the file once the upload has begun reading it, and notes how
    // far it had read by then.
    qint64 offsetAtChange = -1;
    qint64 appended = 0;
    QTimer changer;
    connect(&changer, &QTimer::timeout, [&] {
        if (offsetAtChange < 0) {
            const qint64 offset = readOffset(local);
            if (offset <= 0)
                return;
            offsetAtChange = offset;
            if (change == "shrinks") {
                QFile::resize(local, Cut);
            } else if (change == "rewritten") {
                QFile file(local);
                if (file.open(QIODevice::ReadWrite))
                    file.write(rewritten);
            }
        }
        if (change == "grows" && appended < Size) {
            QFile file(local);
            if (file.open(QIODevice::Append))
                appended += file.write(QByteArray(64 * 1024, 'y'));
        }
    });
    changer.start(5);
    const qint32 code =
        upload(driver, server.hostPort(), server.user(), server.password(), local, Remote);
    changer.stop();
    qInfo("read %lld bytes when the file changed; code %d", offsetAtChange, code);

    QVERIFY2(offsetAtChange > 0, "the upload never read the file");
    // Otherwise the change came too late to matter.
    QVERIFY2(offsetAtChange < (change == "shrinks" ? Cut : Size),
             qPrintable(QString::number(offsetAtChange)));
    const QByteArray remote = server.remoteBytes(Remote);
    QCOMPARE(server.entries("public_html"), QStringList{"channel_list.txt"});
    if (change != "shrinks") {
        // Written to while it was read: what arrived may mix old and new
        // bytes, so the earlier copy stays and the next upload sends the
        // finished file.
        if (change == "grows")
            QVERIFY(appended > 0);
        QCOMPARE(code, driver == Driver::TransferInet ? ResponseCodes::LocalFileChanged : -1);
        QCOMPARE(remote, Published);
    } else {
        if (driver == Driver::TransferInet) {
            const QList<qint32> detected{ResponseCodes::CurlBase + CURLE_PARTIAL_FILE,
                                         ResponseCodes::SizeMismatch};
            QVERIFY2(detected.contains(code), qPrintable(QString::number(code)));
        } else {
            QVERIFY(code != ResponseCodes::Ok);
        }
        QCOMPARE(remote, Published);
    }
}

void tst_Faults::lyingSize_data() {
    QTest::addColumn<QString>("mode");
    QTest::addColumn<Driver>("driver");
    QTest::newRow("one byte more, UploadFile") << "wrong-size" << Driver::UploadFile;
    QTest::newRow("one byte more, component") << "wrong-size" << Driver::TransferInet;
    QTest::newRow("one byte less, UploadFile") << "short-size" << Driver::UploadFile;
    QTest::newRow("one byte less, component") << "short-size" << Driver::TransferInet;
}

void tst_Faults::lyingSize() {
    QFETCH(QString, mode);
    QFETCH(Driver, driver);
    FtpTestServer server;
    QVERIFY2(server.start({.mode = mode}), qPrintable(server.errorString()));
    QVERIFY(server.writeRemote(Remote, Published));
    const QString local = local_.write("channel_list.txt", AccentedChannelList());

    const qint32 code =
        upload(driver, server.hostPort(), server.user(), server.password(), local, Remote);
    QCOMPARE(code, driver == Driver::TransferInet ? ResponseCodes::SizeMismatch : -1);
    QCOMPARE(server.remoteBytes(Remote), Published);
    QCOMPARE(server.entries("public_html"), QStringList{"channel_list.txt"});
    // The size was asked for, and the copy that failed it was removed.
    const QStringList commands = server.commands();
    QVERIFY(std::any_of(commands.begin(), commands.end(), [](const QString& c) {
        return c.startsWith("SIZE public_html/.") || c.startsWith("STAT public_html/.") ||
               c.startsWith("MLST public_html/.");
    }));
    QVERIFY(std::any_of(commands.begin(), commands.end(),
                        [](const QString& c) { return c.startsWith("DELE public_html/."); }));
}

void tst_Faults::hostTextNamesOneHost_data() {
    // "%1" is the port of a server on 127.0.0.1 that must hear nothing.
    QTest::addColumn<QString>("host");
    QTest::newRow("bracketed IPv6, scope id naming a host") << "[::1%x@127.0.0.1:%1/]";
    QTest::newRow("bare IPv6, scope id naming a host") << "::1%x@127.0.0.1:%1/";
    QTest::newRow("IPv6 then NUL and another port") << QString("::1" + QString(QChar(0)) + "]:%1");
}

void tst_Faults::hostTextNamesOneHost() {
    QFETCH(QString, host);
    FtpTestServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    host = host.arg(server.port());
    const QString local = local_.write("channel_list.txt", AccentedChannelList());

    TransferInet inet(TestTimeouts());
    const qint32 code = RunPut(inet, host, server.user(), server.password(), local, Remote);
    const bool uploaded = UploadFile(TransferInetFactory(TestTimeouts()), host, server.user(),
                                     server.password(), local, Remote);
    qInfo("code %d; the server heard: %s", code, qPrintable(server.commands().join(" | ")));
    QCOMPARE(server.commands(), QStringList{});
    QVERIFY(code != ResponseCodes::Ok);
    QVERIFY(!uploaded);
}

void tst_Faults::otherServers_data() {
    QTest::addColumn<PackagedFtpServer::Kind>("kind");
    QTest::newRow("proftpd") << PackagedFtpServer::Kind::Proftpd;
    QTest::newRow("pure-ftpd") << PackagedFtpServer::Kind::PureFtpd;
}

void tst_Faults::otherServers() {
    QFETCH(PackagedFtpServer::Kind, kind);
    PackagedFtpServer server(kind);
    START_OR_SKIP(server);
    QVERIFY(server.writeRemote(Remote, Published));
    const QByteArray first = AccentedChannelList(20);
    const QByteArray second = AccentedChannelList(70);

    const QString local = local_.write("channel_list.txt", first);
    TransferInet inet(TestTimeouts());
    QCOMPARE(RunPut(inet, server.hostPort(), server.user(), server.password(), local, Remote),
             ResponseCodes::Ok);
    QCOMPARE(server.remoteBytes(Remote), first);
    local_.write("channel_list.txt", second);
    QVERIFY(UploadFile(TransferInetFactory(TestTimeouts()), server.hostPort(), server.user(),
                       server.password(), local, Remote));
    QCOMPARE(server.remoteBytes(Remote), second);
    QCOMPARE(server.entries("public_html"), QStringList{"channel_list.txt"});
}

void tst_Faults::manyUploadsLeakNothing() {
    constexpr int WarmUp = 200;
    constexpr int Uploads = 10'000;
    // Passive ports from the whole ephemeral range, as most servers give
    // them: a held session that kept something per data port (libcurl's
    // address cache does, unless told not to) grows here.
    // Sessions held by the earlier cases would reach their idle limit
    // while this one counts descriptors, on a busy machine.
    CloseHeldSessions();
    FtpTestServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    const QByteArray bytes = pattern(4096);
    const QString local = local_.write("channel_list.txt", bytes);
    const InetFactory factory = TransferInetFactory(TestTimeouts());
    const auto run = [&](int count) {
        int failed = 0;
        for (int i = 0; i < count; ++i) {
            if (!UploadFile(factory, server.hostPort(), server.user(), server.password(), local,
                            Remote))
                ++failed;
        }
        return failed;
    };

    QCOMPARE(run(WarmUp), 0);
    const int fdsBefore = openFds();
    const int threadsBefore = threads();
    const qint64 rssBefore = rssKiB();
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(run(Uploads), 0);
    const qint64 ms = clock.elapsed();
    const qint64 rssAfter = rssKiB();
    qInfo("%d uploads in %lld ms; RSS %lld KiB -> %lld KiB", Uploads, ms, rssBefore, rssAfter);

    QCOMPARE(openFds(), fdsBefore);
    QCOMPARE(threads(), threadsBefore);
    QVERIFY(rssBefore > 0);
    // Without a leak it grows by 16 KiB at most; 16 bytes kept per upload
    // add some 360 KiB, an address kept per data port some 1.7 MiB.
    QVERIFY2(rssAfter - rssBefore < 256,
             qPrintable(QString("%1 KiB -> %2 KiB").arg(rssBefore).arg(rssAfter)));
    QCOMPARE(server.remoteBytes(Remote), bytes);
    QCOMPARE(server.entries("public_html"), QStringList{"channel_list.txt"});
}

void tst_Faults::zeroIntervalNeverOverlaps() {
    // Enough uploads for ticks to come while several of them wait.
    constexpr int Uploads = 6;
    constexpr int WarmUpMs = 5'000;
    FtpTestServer server;
    // About 2.5 s per upload.
    QVERIFY2(server.start({.throttle = 100 * 1024}), qPrintable(server.errorString()));
    const QByteArray bytes = pattern(256 * 1024);

    FixedSettings settings;
    settings.host = server.hostPort();
    settings.user = server.user();
    settings.password = server.password();
    settings.local = local_.write("channel_list.txt", bytes);
    settings.location = "public_html/";
    settings.interval = "0";
    CountingReporter reporter;
    int live = 0, mostLive = 0, uploads = 0, succeeded = 0;
    const InetFactory real = TransferInetFactory(TestTimeouts());
    const InetFactory counted = [&]() -> std::unique_ptr<Inet> {
        return std::make_unique<CountedInet>(real(), live, mostLive);
    };
    UploadControl control(
        settings,
        [&](QString host, QString user, QString password, QString local, QString remote,
            QString& reason) {
            ++uploads;
            const bool ok = UploadFile(counted, host, user, password, local, remote, reason);
            succeeded += ok;
            return ok;
        },
        reporter);

    int ticks = 0, ticksWhileWaiting = 0, mostWaiting = 0;
    const auto onTick = [&] {
        ++ticks;
        ticksWhileWaiting += control.UploadsWaiting() > 0;
        control.TimerUpload_Timer();
    };
    // Qt never re-enters a timer whose slot still runs, so the ticks of one
    // timer all come between uploads; a second one, half a period later,
    // also ticks while an upload waits.
    QTimer tick, secondTick;
    connect(&tick, &QTimer::timeout, onTick);
    connect(&secondTick, &QTimer::timeout, onTick);
    QTimer sampler;
    connect(&sampler, &QTimer::timeout,
            [&] { mostWaiting = std::max(mostWaiting, control.UploadsWaiting()); });
    qint64 rssWarm = -1;
    QTimer::singleShot(WarmUpMs, [&] { rssWarm = rssKiB(); });

    tick.start(1000);
    QTimer::singleShot(500, [&] { secondTick.start(1000); });
    sampler.start(50);
    // Checked between uploads: an upload runs inside a tick. A hang check
    // of four times what six uploads take.
    QTRY_VERIFY_WITH_TIMEOUT(uploads >= Uploads, 60'000);
    tick.stop();
    secondTick.stop();
    sampler.stop();
    const qint64 rssEnd = rssKiB();
    qInfo("%d ticks, %d while an upload waited, %d uploads; RSS %lld KiB -> %lld KiB", ticks,
          ticksWhileWaiting, uploads, rssWarm, rssEnd);

    QCOMPARE(mostWaiting, 1);
    QCOMPARE(mostLive, 1);
    QCOMPARE(control.UploadsWaiting(), 0);
    // Ticks did come while uploads waited, and were let go.
    QVERIFY(ticksWhileWaiting > 0);
    QVERIFY(uploads < ticks);
    QCOMPARE(succeeded, uploads);
    QCOMPARE(reporter.shown, QStringList{}); // automatic uploads are silent
    QVERIFY(rssWarm > 0);
    QVERIFY2(rssEnd - rssWarm < 2048, qPrintable(QString("%1 -> %2").arg(rssWarm).arg(rssEnd)));
    QCOMPARE(server.remoteBytes(Remote), bytes);
    QCOMPARE(server.entries("public_html"), QStringList{"channel_list.txt"});
}

QTEST_GUILESS_MAIN(tst_Faults)
#include "tst_faults.moc"
