#include "InetAborter.h"

#include <QStringList>
#include <QTest>

namespace {

// Logs the calls the aborter makes, as "<name> <call>".
class LoggingInet final : public Inet {
public:
    LoggingInet(QString name, QStringList& log) : name_(std::move(name)), log_(log) {}
    ~LoggingInet() override { log_ << name_ + " gone"; }
    void SetProtocol(int) override {}
    void SetRemoteHost(const QString&) override {}
    void SetUserName(const QString&) override {}
    void SetPassword(const QString&) override {}
    QString URL() const override { return {}; }
    void Execute(const QString&, const QString&) override { log_ << name_ + " Execute"; }
    bool StillExecuting() const override { return false; }
    qint32 ResponseCode() const override { return 0; }
    void Abort() override { log_ << name_ + " Abort"; }

private:
    QString name_;
    QStringList& log_;
};

} // namespace

class tst_InetAborter : public QObject {
    Q_OBJECT
private slots:
    void abortsLiveComponentsOnly();
    void componentsMadeAfterStartAborted();
    void noComponentStaysNone();
};

void tst_InetAborter::abortsLiveComponentsOnly() {
    QStringList log;
    int made = 0;
    InetAborter aborter;
    const InetFactory factory = aborter.wrap([&]() -> std::unique_ptr<Inet> {
        return std::make_unique<LoggingInet>(QString::number(++made), log);
    });
    auto first = factory();
    auto second = factory();
    first.reset();
    aborter.AbortAll();
    QCOMPARE(log, QStringList({"1 gone", "2 Abort"}));
    second->Execute({}, {}); // calls pass through
    QCOMPARE(log.mid(2), QStringList({"2 Execute", "2 Abort"}));
}

void tst_InetAborter::componentsMadeAfterStartAborted() {
    // A tick inside the last wait may start an upload while the window
    // closes: it ends as soon as it starts.
    QStringList log;
    InetAborter aborter;
    const InetFactory factory = aborter.wrap(
        [&]() -> std::unique_ptr<Inet> { return std::make_unique<LoggingInet>("late", log); });
    aborter.AbortAll();
    auto late = factory();
    QVERIFY(log.isEmpty());
    late->Execute({}, {});
    QCOMPARE(log, QStringList({"late Execute", "late Abort"}));
}

void tst_InetAborter::noComponentStaysNone() {
    InetAborter aborter;
    QVERIFY(!aborter.wrap([]() -> std::unique_ptr<Inet> { return nullptr; })());
    QVERIFY(!aborter.wrap(InetFactory())());
}

QTEST_GUILESS_MAIN(tst_InetAborter)
#include "tst_inetaborter.moc"
