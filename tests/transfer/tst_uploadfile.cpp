#include "UploadFile.h"

#include <QCoreApplication>
#include <QTest>
#include <QTimer>

namespace {

// A component whose every operation can be made to fail, recording what was
// done to it. The operation "runs" for a number of polls of StillExecuting.
struct Script {
    QStringList failing; // names of the operations that throw
    int polls = 0;       // how many times StillExecuting answers true
    qint32 code = 0;
    bool wakeEachPoll = true; // post an event per poll, as a component reporting progress would
    QStringList calls;
    QString url;
    QString operation;
    int created = 0;
    int destroyed = 0;
    QString info; // what ResponseInfo says
};

class ScriptedInet final : public Inet {
public:
    explicit ScriptedInet(Script& s) : s_(s) { ++s_.created; }
    ~ScriptedInet() override { ++s_.destroyed; }
    void SetProtocol(int p) override { step("Protocol=" + QString::number(p)); }
    void SetRemoteHost(const QString& h) override { step("RemoteHost=" + h); }
    void SetUserName(const QString& u) override { step("UserName=" + u); }
    void SetPassword(const QString& p) override { step("Password=" + p); }
    QString URL() const override {
        step("URL");
        return QStringLiteral("ftp://scripted/");
    }
    void Execute(const QString& url, const QString& operation) override {
        step("Execute");
        s_.url = url;
        s_.operation = operation;
        executed_ = true;
    }
    bool StillExecuting() const override {
        step("StillExecuting");
        if (!executed_ || s_.polls-- <= 0)
            return false;
        if (s_.wakeEachPoll)
            QMetaObject::invokeMethod(
                QCoreApplication::instance(), [] {}, Qt::QueuedConnection);
        return true;
    }
    qint32 ResponseCode() const override {
        step("ResponseCode");
        return s_.code;
    }
    QString ResponseInfo() const override { return s_.info; }
    void Abort() override {}

private:
    void step(const QString& call) const {
        s_.calls << call;
        const QString name = call.section(u'=', 0, 0);
        if (s_.failing.contains(name))
            throw InetError(name.toStdString());
    }
    Script& s_;
    bool executed_ = false;
};

InetFactory scripted(Script& s) {
    return [&s]() -> std::unique_ptr<Inet> { return std::make_unique<ScriptedInet>(s); };
}

bool upload(const InetFactory& factory) {
    return UploadFile(factory, "host", "user", "pw", "/a/channel_list.txt",
                      "public_html/channel_list.txt");
}

} // namespace

class tst_UploadFile : public QObject {
    Q_OBJECT
private slots:
    void stepsInOrder();
    void failingStep_data();
    void failingStep();
    void noComponent();
    void operationText_data();
    void operationText();
    void eventsDispatchedWhileWaiting();
    void nestedUploadFinishesFirst();
    void reasonOfAFailure_data();
    void reasonOfAFailure();
};

void tst_UploadFile::stepsInOrder() {
    Script s;
    s.polls = 2;
    QVERIFY(upload(scripted(s)));
    const QStringList expected{
        "Protocol=2", "RemoteHost=host", "UserName=user",  "Password=pw",    "URL",
        "Execute",    "StillExecuting",  "StillExecuting", "StillExecuting", "ResponseCode"};
    QCOMPARE(s.calls, expected);
    QCOMPARE(s.url, QStringLiteral("ftp://scripted/"));
    QCOMPARE(s.created, 1);
    QCOMPARE(s.destroyed, 1);
}

void tst_UploadFile::failingStep_data() {
    QTest::addColumn<QStringList>("failing");
    QTest::addColumn<qint32>("code");
    QTest::addColumn<bool>("result");
    QTest::addColumn<bool>("executed");

    // A failed setting is skipped; the upload goes on and the code decides.
    QTest::newRow("Protocol") << QStringList{"Protocol"} << 0 << true << true;
    QTest::newRow("RemoteHost") << QStringList{"RemoteHost"} << 0 << true << true;
    QTest::newRow("UserName") << QStringList{"UserName"} << 0 << true << true;
    QTest::newRow("Password") << QStringList{"Password"} << 0 << true << true;
    // Without a URL nothing is started; the code held alone decides.
    QTest::newRow("URL, code 0") << QStringList{"URL"} << 0 << true << false;
    QTest::newRow("URL, code 1") << QStringList{"URL"} << 1 << false << false;
    QTest::newRow("Execute") << QStringList{"Execute"} << 7 << false << true;
    QTest::newRow("StillExecuting") << QStringList{"StillExecuting"} << 0 << true << true;
    QTest::newRow("ResponseCode") << QStringList{"ResponseCode"} << 0 << false << true;
    QTest::newRow("non-zero code") << QStringList{} << 550 << false << true;
    QTest::newRow("negative code") << QStringList{} << -1 << false << true;
}

void tst_UploadFile::failingStep() {
    QFETCH(QStringList, failing);
    QFETCH(qint32, code);
    QFETCH(bool, result);
    QFETCH(bool, executed);
    Script s;
    s.failing = failing;
    s.code = code;
    s.polls = 3;
    QCOMPARE(upload(scripted(s)), result);
    QCOMPARE(s.calls.contains("Execute"), executed);
    QVERIFY(s.calls.contains("ResponseCode"));
    QCOMPARE(s.destroyed, 1);
    if (failing == QStringList{"StillExecuting"})
        QCOMPARE(s.calls.count("StillExecuting"), 1); // a failing test ends the wait
}

void tst_UploadFile::noComponent() {
    QVERIFY(!upload([]() -> std::unique_ptr<Inet> { return nullptr; }));
    QVERIFY(!upload([]() -> std::unique_ptr<Inet> { throw InetError("cannot create"); }));
}

void tst_UploadFile::operationText_data() {
    QTest::addColumn<QString>("local");
    QTest::addColumn<QString>("remote");
    QTest::addColumn<QString>("operation");
    QTest::newRow("plain") << "C:\\a\\channel_list.txt"
                           << "public_html/channel_list.txt"
                           << "Put C:\\a\\channel_list.txt public_html/channel_list.txt";
    QTest::newRow("empty location") << "/a/list.txt"
                                    << "channel_list.txt"
                                    << "Put /a/list.txt channel_list.txt";
    QTest::newRow("spaces unquoted") << "/my docs/l.txt"
                                     << "x y"
                                     << "Put /my docs/l.txt x y";
    QTest::newRow("empty local") << ""
                                 << "channel_list.txt"
                                 << "Put  channel_list.txt";
}

void tst_UploadFile::operationText() {
    QFETCH(QString, local);
    QFETCH(QString, remote);
    QFETCH(QString, operation);
    Script s;
    UploadFile(scripted(s), "h", "u", "p", local, remote);
    QCOMPARE(s.operation, operation);
}

void tst_UploadFile::eventsDispatchedWhileWaiting() {
    // The wait dispatches events: a timer posted before it fires inside it.
    Script s;
    s.polls = 1'000'000;
    s.wakeEachPoll = false;
    int fired = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        if (++fired == 3)
            s.polls = 0;
    });
    timer.start(5);
    QVERIFY(upload(scripted(s)));
    QCOMPARE(fired, 3);
    // Blocking for events, not spinning: a handful of looks, not thousands.
    QVERIFY2(s.calls.count("StillExecuting") < 20,
             qPrintable(QString::number(s.calls.count("StillExecuting"))));
}

void tst_UploadFile::nestedUploadFinishesFirst() {
    // An upload started from inside another's wait runs to its end, with its
    // own component, before the outer one gets its result.
    Script outer;
    Script inner;
    outer.polls = 1'000'000;
    outer.wakeEachPoll = false;
    QStringList order;
    QTimer::singleShot(0, [&] {
        inner.polls = 2;
        UploadFile(scripted(inner), "h", "u", "p", "l", "r");
        order << "inner done";
        outer.polls = 0;
    });
    upload(scripted(outer));
    order << "outer done";
    QCOMPARE(order, (QStringList{"inner done", "outer done"}));
    QCOMPARE(inner.created, 1);
    QCOMPARE(outer.created, 1);
}

void tst_UploadFile::reasonOfAFailure_data() {
    QTest::addColumn<QStringList>("failing");
    QTest::addColumn<qint32>("code");
    QTest::addColumn<QString>("info");
    QTest::addColumn<QString>("reason");
    QTest::newRow("success") << QStringList{} << 0 << "stale words"
                             << "";
    QTest::newRow("the component's words") << QStringList{} << 530 << "log-in refused"
                                           << "log-in refused";
    QTest::newRow("no words, a code") << QStringList{} << 530 << ""
                                      << "the transfer component reported code 530";
    QTest::newRow("not started") << QStringList{"URL"} << -1 << ""
                                 << "the upload could not be started: URL";
    QTest::newRow("no code") << QStringList{"ResponseCode"} << 0 << ""
                             << "the transfer component gave no answer";
}

void tst_UploadFile::reasonOfAFailure() {
    QFETCH(QStringList, failing);
    QFETCH(qint32, code);
    QFETCH(QString, info);
    QFETCH(QString, reason);
    Script s;
    s.failing = failing;
    s.code = code;
    s.info = info;
    QString given = QStringLiteral("left from before");
    const bool ok = UploadFile(scripted(s), "host", "user", "pw", "/a/channel_list.txt",
                               "public_html/channel_list.txt", given);
    QCOMPARE(ok, reason.isEmpty());
    QCOMPARE(given, reason);

    const InetFactory none = [] { return std::unique_ptr<Inet>(); };
    QVERIFY(!UploadFile(none, "host", "user", "pw", "/a/channel_list.txt", "remote", given));
    QCOMPARE(given, QStringLiteral("the upload could not be started: no transfer component"));
}

QTEST_GUILESS_MAIN(tst_UploadFile)
#include "tst_uploadfile.moc"
