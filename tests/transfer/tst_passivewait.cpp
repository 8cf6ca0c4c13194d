// The wait between the passive command and the data connection. On a busy
// machine the transfer worker can be held back right after it sends EPSV,
// and then finds the reply already in. libcurl 7.88 left to itself then
// sleeps until its next timer (200 ms or a second) with nothing to wait on;
// the component must go straight on. The worker probe counts those blind
// waits, so the check does not depend on how fast this machine is.

#include "Publish.h"
#include "FtpTestServer.h"
#include "ResponseCodes.h"
#include "SecureTestServer.h"
#include "TestProgram.h"
#include "TransferTestHelpers.h"
#include "WorkerProbe.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <curl/curl.h>

namespace {

// Longer than one loopback round trip by far: the reply is always in by the
// time the worker looks.
constexpr int HoldMs = 30;

struct Target {
    QString host; // as typed in the window
    QString user, password, root;
};

size_t readNothing(char*, size_t, size_t, void*) {
    return 0;
}

// One store by libcurl's own loop, with the component's path form.
CURLcode plainCurlStore(const Target& target) {
    CURL* curl = curl_easy_init();
    const QByteArray url = "ftp://" + target.host.toUtf8() + "/public_html/curl.txt";
    const QByteArray user = target.user.toUtf8(), password = target.password.toUtf8();
    curl_easy_setopt(curl, CURLOPT_URL, url.constData());
    curl_easy_setopt(curl, CURLOPT_USERNAME, user.constData());
    curl_easy_setopt(curl, CURLOPT_PASSWORD, password.constData());
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, &readNothing);
    curl_easy_setopt(curl, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_NOCWD));
    const CURLcode rc = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    return rc;
}

} // namespace

class tst_PassiveWait : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void noBlindWaitAfterEpsv_data();
    void noBlindWaitAfterEpsv();
    void probeSeesLibcurlsOwnWait();

private:
    qint32 publish(const Target& target, const QString& remote);
    QTemporaryDir dir_;
    QString local_;
};

void tst_PassiveWait::initTestCase() {
    SetUpTestProgram();
    local_ = dir_.filePath("channel_list.txt");
    QVERIFY(WriteLocalFile(local_, "Channel 1\nChannel 2\n"));
}

void tst_PassiveWait::cleanup() {
    WorkerProbe::setDelayAfterEpsv(0);
    qunsetenv("SSL_CERT_FILE");
}

qint32 tst_PassiveWait::publish(const Target& target, const QString& remote) {
    const auto endpoint = ParseRemoteHost(target.host);
    if (!endpoint)
        return ResponseCodes::BadHost;
    const PublishJob job{*endpoint, target.user, target.password, local_, remote, TestTimeouts()};
    const std::atomic<bool> abort{false};
    return Publish(job, abort);
}

void tst_PassiveWait::noBlindWaitAfterEpsv_data() {
    QTest::addColumn<bool>("tls");
    QTest::addColumn<QString>("remote");
    // In the log-in folder the store sends no command of its own before EPSV.
    QTest::newRow("ftp, log-in folder") << false << "channel_list.txt";
    QTest::newRow("ftp, subfolder") << false << "public_html/channel_list.txt";
    QTest::newRow("ftpes, log-in folder") << true << "channel_list.txt";
}

void tst_PassiveWait::noBlindWaitAfterEpsv() {
    QFETCH(bool, tls);
    QFETCH(QString, remote);
    FtpTestServer plain;
    SecureTestServer secure(SecureTestServer::Kind::ExplicitTls);
    Target target;
    if (tls) {
        QVERIFY2(secure.start(), qPrintable(secure.errorString()));
        qputenv("SSL_CERT_FILE", secure.caFile().toLocal8Bit());
        target = {"ftpes://localhost:" + QString::number(secure.port()), secure.user(),
                  secure.password(), secure.root()};
    } else {
        QVERIFY2(plain.start(), qPrintable(plain.errorString()));
        target = {plain.hostPort(), plain.user(), plain.password(), plain.root()};
    }

    WorkerProbe::setDelayAfterEpsv(HoldMs);
    WorkerProbe::reset();
    QCOMPARE(publish(target, remote), ResponseCodes::Ok);
    QCOMPARE(WorkerProbe::epsvSent(), 1);
    QCOMPARE(WorkerProbe::blindWaits(), 0);
    QVERIFY(QFile::exists(target.root + u'/' + remote));
}

// The probe itself: libcurl's own loop, held back the same way, does wait
// blind. Were it not to, the check above would prove nothing.
void tst_PassiveWait::probeSeesLibcurlsOwnWait() {
    FtpTestServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    const Target target{server.hostPort(), server.user(), server.password(), server.root()};
    WorkerProbe::setDelayAfterEpsv(HoldMs);
    WorkerProbe::reset();
    QCOMPARE(plainCurlStore(target), CURLE_OK);
    QCOMPARE(WorkerProbe::epsvSent(), 1);
    if (curl_version_info(CURLVERSION_NOW)->version_num >= 0x080500 &&
        WorkerProbe::blindWaits() == 0)
        QSKIP("this libcurl goes on after EPSV by itself");
    QVERIFY(WorkerProbe::blindWaits() >= 1);
}

QTEST_GUILESS_MAIN(tst_PassiveWait)
#include "tst_passivewait.moc"
