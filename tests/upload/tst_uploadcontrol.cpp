#include "UploadControl.h"

#include <QTest>

namespace {

struct FakeSettings final : UploadSettings {
    QString host = "ftp.example.com", user = "u", password = "p", local = "/a/channel_list.txt";
    QString location = "public_html/", interval = "60";
    int gate = -1;
    QStringList unreadable; // getters that throw
    mutable QStringList reads;

    QString read(const char* name, const QString& value) const {
        reads << name;
        if (unreadable.contains(name))
            throw std::runtime_error(name);
        return value;
    }
    QString HostName() const override { return read("host", host); }
    QString UserName() const override { return read("user", user); }
    QString Password() const override { return read("password", password); }
    QString LocalFileName() const override { return read("local", local); }
    QString RemoteLocation() const override { return read("location", location); }
    QString IntervalText() const override { return read("interval", interval); }
    int AutoUploadGate() const override {
        read("gate", {});
        return gate;
    }
};

struct FakeReporter final : ResultReporter {
    QStringList shown;
    void ShowResult(const QString& text) override { shown << text; }
};

struct Call {
    QString host, user, password, local, remote;
};

// Transfers that succeed or fail as told and may run something "during their
// wait", the way the real wait dispatches clicks and ticks.
struct FakeTransfer {
    QList<Call> calls;
    bool result = true;
    std::function<void()> duringWait;

    UploadControl::Transfer fn() {
        return [this](QString h, QString u, QString p, QString l, QString r, QString&) {
            calls.append({h, u, p, l, r});
            if (auto nested = std::exchange(duringWait, nullptr))
                nested();
            return result;
        };
    }
};

struct Rig {
    FakeSettings settings;
    FakeReporter reporter;
    FakeTransfer transfer;
    quint32 now = 600'000;
    UploadControl control{settings, transfer.fn(), reporter, [this] { return now; }};
};

} // namespace

class tst_UploadControl : public QObject {
    Q_OBJECT
private slots:
    void manualReports_data();
    void manualReports();
    void valuesPassedAsTyped_data();
    void valuesPassedAsTyped();
    void manualLeavesScheduleAlone();
    void unreadableControlPropagatesFromClick();
    void tickNestedInManualKeepsItsReport();
    void clickNestedInAutomaticReportsOnlyItself();
    void tickUploadsSilentlyAndStamps();
    void tickFollowsSchedule();
    void tickSkippedWhileUploadWaits();
    void tickAbsorbsUnreadableControls_data();
    void tickAbsorbsUnreadableControls();
    void suppressedReports();
};

void tst_UploadControl::manualReports_data() {
    QTest::addColumn<bool>("result");
    QTest::addColumn<QString>("text");
    QTest::newRow("success") << true << "Success";
    QTest::newRow("failure") << false << "Failed";
}

void tst_UploadControl::manualReports() {
    QFETCH(bool, result);
    QFETCH(QString, text);
    Rig rig;
    rig.transfer.result = result;
    rig.control.cmdUpload_Click();
    QCOMPARE(rig.reporter.shown, QStringList{text});
    QCOMPARE(rig.transfer.calls.size(), 1);
    QVERIFY(rig.control.blnShowResult); // stays set until an automatic upload clears it
}

void tst_UploadControl::valuesPassedAsTyped_data() {
    QTest::addColumn<QString>("location");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("remote");
    QTest::newRow("default") << "public_html/"
                             << "ftp.example.com"
                             << "public_html/channel_list.txt";
    QTest::newRow("no slash") << "www"
                              << "h"
                              << "wwwchannel_list.txt";
    QTest::newRow("empty") << ""
                           << ""
                           << "channel_list.txt";
    QTest::newRow("blanks kept") << " a/ "
                                 << " h "
                                 << " a/ channel_list.txt";
}

void tst_UploadControl::valuesPassedAsTyped() {
    QFETCH(QString, location);
    QFETCH(QString, host);
    QFETCH(QString, remote);
    Rig rig;
    rig.settings.location = location;
    rig.settings.host = host;
    rig.settings.local = "C:\\data\\list.txt";
    rig.settings.user = "";
    rig.settings.password = "";
    rig.control.cmdUpload_Click();
    const Call call = rig.transfer.calls.value(0);
    QCOMPARE(call.remote, remote);
    QCOMPARE(call.host, host);
    QCOMPARE(call.local, QStringLiteral("C:\\data\\list.txt"));
    QCOMPARE(call.user, QString());
    QCOMPARE(call.password, QString());
    QCOMPARE(rig.settings.reads, (QStringList{"host", "user", "password", "local", "location"}));
}

void tst_UploadControl::manualLeavesScheduleAlone() {
    Rig rig;
    rig.control.lngLastUpload = 12345;
    rig.control.cmdUpload_Click();
    QCOMPARE(rig.control.lngLastUpload, 12345);
}

void tst_UploadControl::unreadableControlPropagatesFromClick() {
    Rig rig;
    rig.settings.unreadable = {"password"};
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, rig.control.cmdUpload_Click());
    QVERIFY(rig.transfer.calls.isEmpty());
    QVERIFY(rig.reporter.shown.isEmpty());
}

void tst_UploadControl::tickNestedInManualKeepsItsReport() {
    // A manual upload whose wait sees a tick: the tick's upload would clear
    // the shared flag, but the manual one still reports.
    Rig rig;
    rig.transfer.duringWait = [&] {
        rig.now += 1000;
        rig.control.TimerUpload_Timer(); // skipped: an upload is waiting
    };
    rig.control.cmdUpload_Click();
    QCOMPARE(rig.reporter.shown, QStringList{"Success"});
}

void tst_UploadControl::clickNestedInAutomaticReportsOnlyItself() {
    Rig rig;
    rig.transfer.duringWait = [&] {
        rig.transfer.result = false;
        rig.control.cmdUpload_Click();
    };
    rig.control.TimerUpload_Timer();
    QCOMPARE(rig.transfer.calls.size(), 2);
    // One box, the manual upload's; the automatic one stays silent.
    QCOMPARE(rig.reporter.shown, QStringList{"Failed"});
}

void tst_UploadControl::tickUploadsSilentlyAndStamps() {
    Rig rig;
    rig.control.blnShowResult = true;
    rig.now = 777'000;
    rig.control.TimerUpload_Timer();
    QCOMPARE(rig.transfer.calls.size(), 1);
    QVERIFY(rig.reporter.shown.isEmpty());
    QCOMPARE(rig.control.lngLastUpload, 777'000);
    QVERIFY(!rig.control.blnShowResult);
}

void tst_UploadControl::tickFollowsSchedule() {
    // One tick a second for five minutes with "60": an upload on the first
    // tick and then every 60th, a manual upload in between changing nothing.
    Rig rig;
    QList<quint32> starts;
    rig.transfer.duringWait = nullptr;
    for (int second = 1; second <= 300; ++second) {
        rig.now = 600'000 + second * 1000;
        const auto before = rig.transfer.calls.size();
        if (second == 90)
            rig.control.cmdUpload_Click();
        const auto manual = rig.transfer.calls.size() - before;
        rig.control.TimerUpload_Timer();
        if (rig.transfer.calls.size() - before > manual)
            starts << rig.now;
    }
    QCOMPARE(starts, (QList<quint32>{601'000, 661'000, 721'000, 781'000, 841'000}));
}

void tst_UploadControl::tickSkippedWhileUploadWaits() {
    Rig rig;
    rig.settings.interval = "0";
    rig.control.lngLastUpload = 5;
    int nested = 0;
    rig.transfer.duringWait = [&] {
        ++nested;
        rig.control.TimerUpload_Timer();
    };
    rig.control.cmdUpload_Click();
    QCOMPARE(nested, 1);
    QCOMPARE(rig.transfer.calls.size(), 1);
    QCOMPARE(rig.control.lngLastUpload, 5); // a skipped tick does not stamp
}

void tst_UploadControl::tickAbsorbsUnreadableControls_data() {
    QTest::addColumn<QStringList>("unreadable");
    QTest::addColumn<QString>("interval");
    QTest::addColumn<int>("gate");
    QTest::addColumn<int>("uploads");
    // Had it been readable, "9999" would not be due: the interval fails open
    // and the gate decides.
    QTest::newRow("interval, gate on") << QStringList{"interval"} << "9999" << -1 << 1;
    QTest::newRow("interval, gate off") << QStringList{"interval"} << "9999" << 0 << 0;
    // A gate that cannot be read lets the upload go ahead.
    QTest::newRow("gate") << QStringList{"gate"} << "0" << 0 << 1;
    // A setting the upload needs ends that tick quietly.
    QTest::newRow("host") << QStringList{"host"} << "0" << -1 << 0;
}

void tst_UploadControl::tickAbsorbsUnreadableControls() {
    QFETCH(QStringList, unreadable);
    QFETCH(QString, interval);
    QFETCH(int, gate);
    QFETCH(int, uploads);
    Rig rig;
    rig.settings.interval = interval;
    rig.control.lngLastUpload = qint32(rig.now);
    rig.settings.unreadable = unreadable;
    rig.settings.gate = gate;
    rig.control.TimerUpload_Timer();
    QCOMPARE(rig.transfer.calls.size(), uploads);
    QVERIFY(rig.reporter.shown.isEmpty());
}

void tst_UploadControl::suppressedReports() {
    Rig rig;
    rig.transfer.duringWait = [&] { rig.control.SuppressReports(); };
    rig.control.cmdUpload_Click();
    QVERIFY(rig.reporter.shown.isEmpty());
}

QTEST_GUILESS_MAIN(tst_UploadControl)
#include "tst_uploadcontrol.moc"
