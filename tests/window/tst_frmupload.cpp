#include "TransferInet.h"
#include "FtpTestServer.h"
#include "HeldSessions.h"
#include "LogCapture.h"
#include "TestProgram.h"
#include "TransferTestHelpers.h"
#include "frmUpload.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QElapsedTimer>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <optional>

namespace {

struct CountingReporter final : ResultReporter {
    QStringList shown;
    void ShowResult(const QString& text) override { shown << text; }
};

// A factory whose components cannot be had: every upload fails at once.
InetFactory noComponent() {
    return []() -> std::unique_ptr<Inet> { return nullptr; };
}

// The ticks as the test gives them: each tick() is one second on the clock
// the window reads, delivered when the window has the timer armed.
class ScriptedTicks final : public TickTimer {
public:
    void arm() override { armed_ = true; }
    void disarm() override { armed_ = false; }
    TickSource clock() {
        return [this] { return now_; };
    }
    // False when the window had not armed the timer: no tick came.
    bool tick() {
        now_ += 1000;
        if (!std::exchange(armed_, false))
            return false;
        emit ticked();
        return true;
    }

private:
    bool armed_ = false;
    quint32 now_ = 0;
};

// The transfer as the test scripts it: each put ends at once with `outcome`
// when that is set, else runs until finish() or an abort. `whileWaiting`
// runs inside each put's wait, as a tick or a click would. Every component
// made is counted, with its operation and the aborts it received.
class TransferScript {
public:
    std::optional<bool> outcome;
    std::function<void()> whileWaiting;
    int made = 0;
    int aborted = 0;
    QStringList operations;

    InetFactory factory() {
        return [this]() -> std::unique_ptr<Inet> { return std::make_unique<ScriptedInet>(*this); };
    }
    // Ends the put that is running.
    void finish(bool ok) {
        if (!running_)
            qFatal("no put is running");
        running_->end(ok);
    }

private:
    class ScriptedInet final : public Inet {
    public:
        explicit ScriptedInet(TransferScript& script) : script_(script) { ++script_.made; }
        ~ScriptedInet() override {
            if (script_.running_ == this)
                script_.running_ = nullptr;
        }
        void SetProtocol(int) override {}
        void SetRemoteHost(const QString&) override {}
        void SetUserName(const QString&) override {}
        void SetPassword(const QString&) override {}
        QString URL() const override { return QStringLiteral("ftp://scripted/"); }
        void Execute(const QString&, const QString& operation) override {
            script_.operations << operation;
            code_ = ResponseCodes::Running;
            script_.running_ = this;
            if (script_.outcome)
                end(*script_.outcome);
            else if (script_.whileWaiting)
                QTimer::singleShot(0, qApp, script_.whileWaiting);
        }
        bool StillExecuting() const override { return code_ == ResponseCodes::Running; }
        qint32 ResponseCode() const override { return code_; }
        void Abort() override {
            if (StillExecuting()) {
                ++script_.aborted;
                end(false);
            }
        }
        void end(bool ok) {
            code_ = ok ? ResponseCodes::Ok : ResponseCodes::Aborted;
            script_.running_ = nullptr;
            // Wakes the wait, as the real component does.
            QMetaObject::invokeMethod(qApp, [] {}, Qt::QueuedConnection);
        }

    private:
        TransferScript& script_;
        qint32 code_ = ResponseCodes::NoOperation;
    };

    ScriptedInet* running_ = nullptr;
};

QTimer* uploadTimer(QWidget& w) {
    auto* paced = w.findChild<QObject*>("TimerUpload");
    return paced ? paced->findChild<QTimer*>() : nullptr;
}

// Answers every message box that opens, remembering what it said.
class BoxAnswerer : public QObject {
public:
    BoxAnswerer() {
        connect(&timer_, &QTimer::timeout, this, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box)
                return;
            texts << box->text();
            titles << box->windowTitle();
            plain = plain && box->icon() == QMessageBox::NoIcon &&
                    box->standardButtons() == QMessageBox::Ok;
            box->button(QMessageBox::Ok)->click();
        });
        timer_.start(20);
    }
    QStringList texts, titles;
    bool plain = true;

private:
    QTimer timer_;
};

// Runs the application's event loop as main() does, with `act` done from
// inside it; returns exec()'s code, or -1 when the loop was still running
// after `limitMs`, that is when the program would not have ended.
int runProgram(const std::function<void()>& act, int limitMs = 15'000) {
    QTimer::singleShot(0, act);
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(-1); });
    guard.start(limitMs);
    return QApplication::exec();
}

template <typename T> T* child(QWidget& w, const char* name) {
    T* found = w.findChild<T*>(QLatin1String(name));
    if (!found)
        qFatal("no control %s", name);
    return found;
}

// A server, a list on disk, and a window filled in to publish the one to
// the other.
struct Rig {
    FtpTestServer server;
    QTemporaryDir dir;
    std::unique_ptr<frmUpload> window;

    bool start(const FtpTestServer::Options& options, const QByteArray& bytes,
               const QString& name = QStringLiteral("channel_list.txt"),
               TransferTimeouts timeouts = TestTimeouts()) {
        const QString local = dir.filePath(name);
        if (!server.start(options) || !WriteLocalFile(local, bytes))
            return false;
        window = std::make_unique<frmUpload>(TransferInetFactory(timeouts));
        child<QLineEdit>(*window, "txtDomain")->setText(server.hostPort());
        child<QLineEdit>(*window, "txtFTPUser")->setText(server.user());
        child<QLineEdit>(*window, "txtFTPPass")->setText(server.password());
        child<QLineEdit>(*window, "txtPathFile")->setText(local);
        window->show();
        return true;
    }
    int stores() const {
        return int(server.commands().filter(QRegularExpression("^STOR ")).size());
    }
};

// A window on scripted ticks and a scripted transfer, filled in to publish a
// list on disk.
struct ScriptedRig {
    QTemporaryDir dir;
    QString local = WrittenLocalFile(dir.filePath("channel_list.txt"), "list\n");
    ScriptedTicks ticks;
    TransferScript script;
    frmUpload window;

    explicit ScriptedRig(ResultReporter* reporter = nullptr)
        : window(script.factory(), reporter, ticks.clock(), &ticks) {
        child<QLineEdit>(window, "txtPathFile")->setText(local);
    }
    QString put() const { return "Put " + local + " public_html/channel_list.txt"; }
};

} // namespace

class tst_frmUpload : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void shouldHaveDefaultValue();
    void geometry_data();
    void geometry();
    void creationOrder();
    void fontAndCaptionsFit();
    void tabOrderAndFirstFocus();
    void inputLimits_data();
    void inputLimits();
    void passwordShowsAsterisks();
    void accessibleNames();
    void accessKeys();
    void enterAndEscapePressNothing();
    void manualUploadShowsOneBox_data();
    void manualUploadShowsOneBox();
    void timerUploadsSilently_data();
    void timerUploadsSilently();
    void timerGateOffUploadsNothing();
    void timerNeverPilesUp();
    void closeRoutes_data();
    void closeRoutes();
    void closeDuringStalledUpload();
    void closeAbortsAnyComponent();
    void closeThenHeldSessionsSayGoodbye();
};

void tst_frmUpload::initTestCase() {
    SetUpTestProgram();
}

void tst_frmUpload::shouldHaveDefaultValue() {
    frmUpload w(noComponent());
    QCOMPARE(w.windowTitle(), QStringLiteral("Harlune Uploader - By Yorn"));
    QCOMPARE(child<QLineEdit>(w, "txtDomain")->text(), QStringLiteral("ftp.example.com"));
    QCOMPARE(child<QLineEdit>(w, "txtFTPUser")->text(), QString());
    QCOMPARE(child<QLineEdit>(w, "txtFTPPass")->text(), QString());
    QCOMPARE(child<QLineEdit>(w, "txtFTPLoc")->text(), QStringLiteral("public_html/"));
    QCOMPARE(child<QLineEdit>(w, "txtUpload")->text(), QStringLiteral("60"));
    QCOMPARE(child<QLineEdit>(w, "txtPathFile")->text(),
             QCoreApplication::applicationDirPath() + "/channel_list.txt");
    QCOMPARE(child<QCheckBox>(w, "chkFTP")->checkState(), Qt::Unchecked);
    QCOMPARE(child<QCheckBox>(w, "chkFTP")->text(), QStringLiteral("Auto Upload On/Off"));
    QCOMPARE(child<QPushButton>(w, "cmdUpload")->text(), QStringLiteral("&Upload"));
    QCOMPARE(child<QPushButton>(w, "cmdClose")->text(), QStringLiteral("&Close"));
    QTimer* timer = uploadTimer(w);
    QVERIFY(timer);
    QVERIFY(timer->isActive());
    QCOMPARE(timer->interval(), 1000);
    QCOMPARE(w.control().blnShowResult, false);
    QCOMPARE(w.control().lngLastUpload, 0);
}

void tst_frmUpload::geometry_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("twips");
    const struct {
        const char* name;
        int l, t, w, h;
    } table[] = {
        {"cmdClose", 5280, 1320, 975, 495},    {"chkFTP", 120, 1560, 2415, 255},
        {"cmdUpload", 4200, 1320, 975, 495},   {"txtUpload", 5640, 840, 615, 360},
        {"txtFTPPass", 4440, 480, 1815, 360},  {"txtFTPUser", 4440, 120, 1815, 360},
        {"txtPathFile", 1320, 840, 1935, 360}, {"txtFTPLoc", 1320, 480, 1935, 360},
        {"txtDomain", 1320, 120, 1935, 360},   {"lblPathLoc", 120, 840, 1215, 255},
        {"lblFTPLoc", 120, 480, 1215, 255},    {"lblFTPDomain", 120, 120, 1215, 255},
        {"lblFTPUser", 3480, 120, 975, 255},   {"lblFTPPass", 3480, 480, 855, 255},
        {"lblUTimer", 3480, 840, 2295, 255},
    };
    for (const auto& row : table)
        QTest::newRow(row.name) << row.name << QRect(row.l, row.t, row.w, row.h);
}

void tst_frmUpload::geometry() {
    QFETCH(QString, name);
    QFETCH(QRect, twips);
    frmUpload w(noComponent());
    auto* control = w.findChild<QWidget*>(name);
    QVERIFY(control);
    const QRect pixels(twips.x() / 15, twips.y() / 15, twips.width() / 15, twips.height() / 15);
    QCOMPARE(control->geometry(), pixels);
    QCOMPARE(w.size(), QSize(426, 129));
    QCOMPARE(w.minimumSize(), w.maximumSize());
}

void tst_frmUpload::creationOrder() {
    frmUpload w(noComponent());
    QStringList names;
    for (QObject* o : w.children()) {
        if (!o->objectName().isEmpty())
            names << o->objectName();
    }
    const QStringList expected{"cmdClose",     "chkFTP",      "cmdUpload",   "txtUpload",
                               "txtFTPPass",   "txtFTPUser",  "txtPathFile", "txtFTPLoc",
                               "txtDomain",    "TimerUpload", "lblPathLoc",  "lblFTPLoc",
                               "lblFTPDomain", "lblFTPUser",  "lblFTPPass",  "lblUTimer"};
    QCOMPARE(names, expected);
}

void tst_frmUpload::fontAndCaptionsFit() {
    frmUpload w(noComponent());
    for (QWidget* control : w.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        const QFont font = control->font();
        QCOMPARE(font.pointSizeF(), 9.75);
        QVERIFY(!font.bold() && !font.italic() && !font.underline() && !font.strikeOut());
        if (QFontDatabase::families().contains("Tahoma"))
            QCOMPARE(QFontInfo(font).family(), QStringLiteral("Tahoma"));
        QString caption;
        int room = control->width();
        if (auto* label = qobject_cast<QLabel*>(control))
            caption = label->text();
        if (auto* button = qobject_cast<QPushButton*>(control)) {
            caption = button->text().remove(u'&');
            room -= 8; // the frame
        }
        if (auto* box = qobject_cast<QCheckBox*>(control)) {
            caption = box->text();
            room -= 20; // the tick box and its gap
        }
        if (caption.isEmpty())
            continue;
        const int needed = QFontMetrics(font).horizontalAdvance(caption);
        QVERIFY2(
            needed <= room,
            qPrintable(
                QString("%1: %2 px for %3 px").arg(control->objectName()).arg(needed).arg(room)));
    }
}

void tst_frmUpload::tabOrderAndFirstFocus() {
    frmUpload w(noComponent());
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QCOMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("txtDomain"));
    QStringList order{QApplication::focusWidget()->objectName()};
    for (int i = 0; i < 9; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        order << QApplication::focusWidget()->objectName();
    }
    const QStringList expected{"txtDomain", "txtFTPLoc", "txtPathFile", "txtFTPUser", "txtFTPPass",
                               "txtUpload", "cmdUpload", "chkFTP",      "cmdClose",   "txtDomain"};
    QCOMPARE(order, expected);
    for (QLabel* label : w.findChildren<QLabel*>())
        QCOMPARE(label->focusPolicy(), Qt::NoFocus);
}

void tst_frmUpload::inputLimits_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("limit");
    QTest::newRow("interval") << "txtUpload" << 4;
    QTest::newRow("user") << "txtFTPUser" << 20;
    QTest::newRow("password") << "txtFTPPass" << 20;
    QTest::newRow("host") << "txtDomain" << 60;
    QTest::newRow("location, none") << "txtFTPLoc" << 0;
    QTest::newRow("path, none") << "txtPathFile" << 0;
}

void tst_frmUpload::inputLimits() {
    QFETCH(QString, name);
    QFETCH(int, limit);
    frmUpload w(noComponent());
    auto* box = w.findChild<QLineEdit*>(name);
    const QString longText(limit ? limit + 1 : 500, u'9');
    box->clear();
    QTest::keyClicks(box, longText);
    QCOMPARE(box->text().size(), limit ? limit : 500);
    // Pasting is held to the same limit.
    box->clear();
    QApplication::clipboard()->setText(longText);
    box->paste();
    QCOMPARE(QApplication::clipboard()->text(), longText);
    QCOMPARE(box->text().size(), limit ? limit : 500);
}

void tst_frmUpload::passwordShowsAsterisks() {
    frmUpload w(noComponent());
    auto* box = child<QLineEdit>(w, "txtFTPPass");
    QTest::keyClicks(box, QStringLiteral("s3 cr@t"));
    QCOMPARE(box->text(), QStringLiteral("s3 cr@t"));
    QCOMPARE(box->displayText(), QStringLiteral("*******"));
}

void tst_frmUpload::accessibleNames() {
    frmUpload w(noComponent());
    const QList<QPair<const char*, const char*>> pairs{
        {"txtDomain", "FTP Domain"},   {"txtFTPUser", "Username"},
        {"txtFTPPass", "Password"},    {"txtPathFile", "Path and File"},
        {"txtFTPLoc", "FTP Location"}, {"txtUpload", "Upload Timer (seconds)"}};
    for (const auto& [box, caption] : pairs)
        QCOMPARE(child<QLineEdit>(w, box)->accessibleName(), QString::fromLatin1(caption));
}

void tst_frmUpload::accessKeys() {
    CountingReporter reporter;
    frmUpload w(noComponent(), &reporter);
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    // An access key presses its button as a click would, after a short show
    // of the press.
    QTest::keyClick(&w, Qt::Key_U, Qt::AltModifier);
    QTRY_COMPARE(reporter.shown, QStringList{"Failed"});
    QVERIFY(w.control().blnShowResult);
    QCOMPARE(runProgram([&] { QTest::keyClick(&w, Qt::Key_C, Qt::AltModifier); }), 0);
    QVERIFY(!w.isVisible());
    QVERIFY(!uploadTimer(w)->isActive());
}

void tst_frmUpload::enterAndEscapePressNothing() {
    CountingReporter reporter;
    frmUpload w(noComponent(), &reporter);
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    for (const char* name : {"txtDomain", "cmdUpload", "cmdClose"}) {
        auto* control = child<QWidget>(w, name);
        control->setFocus();
        QTest::keyClick(control, Qt::Key_Return);
        QTest::keyClick(control, Qt::Key_Enter);
        QTest::keyClick(control, Qt::Key_Escape);
    }
    QVERIFY(reporter.shown.isEmpty());
    QVERIFY(w.isVisible());
}

void tst_frmUpload::manualUploadShowsOneBox_data() {
    QTest::addColumn<bool>("rightPassword");
    QTest::addColumn<QString>("text");
    QTest::newRow("working settings") << true << "Success";
    QTest::newRow("login refused") << false << "Failed";
}

void tst_frmUpload::manualUploadShowsOneBox() {
    QFETCH(bool, rightPassword);
    QFETCH(QString, text);
    QApplication::setApplicationName("Harlune Uploader");
    Rig rig;
    QVERIFY2(rig.start({}, "BBC One\nBBC Two\n", "list.txt"), qPrintable(rig.server.errorString()));
    const FtpTestServer& server = rig.server;
    frmUpload& w = *rig.window;
    if (!rightPassword)
        child<QLineEdit>(w, "txtFTPPass")->setText("nope");
    BoxAnswerer answerer;
    LogCapture log;
    QTest::mouseClick(child<QPushButton>(w, "cmdUpload"), Qt::LeftButton);
    QCOMPARE(answerer.texts, QStringList{text});
    // The reason goes to the log, not into the box.
    const QStringList warnings = log.texts("harlune.upload", QtWarningMsg);
    QCOMPARE(warnings.size(), rightPassword ? 0 : 1);
    if (!rightPassword)
        QVERIFY2(warnings[0].contains("failed: log-in refused"), qPrintable(warnings[0]));
    QCOMPARE(answerer.titles, QStringList{"Harlune Uploader"});
    QVERIFY(answerer.plain);
    QCOMPARE(server.remoteBytes("public_html/channel_list.txt"),
             rightPassword ? QByteArray("BBC One\nBBC Two\n") : QByteArray());
}


void tst_frmUpload::timerUploadsSilently_data() {
    QTest::addColumn<QString>("interval");
    QTest::addColumn<int>("ticks");
    QTest::addColumn<int>("uploads");
    QTest::newRow("every second") << "1" << 5 << 5;
    QTest::newRow("every third second") << "3" << 7 << 2;
    QTest::newRow("half a second, once a tick") << "0.5" << 3 << 3;
}

void tst_frmUpload::timerUploadsSilently() {
    QFETCH(QString, interval);
    QFETCH(int, ticks);
    QFETCH(int, uploads);
    ScriptedRig rig;
    rig.script.outcome = true;
    child<QLineEdit>(rig.window, "txtUpload")->setText(interval);
    child<QCheckBox>(rig.window, "chkFTP")->setChecked(true);
    BoxAnswerer answerer;
    for (int i = 0; i < ticks; ++i)
        QVERIFY(rig.ticks.tick());
    QCOMPARE(rig.script.made, uploads);
    QCOMPARE(rig.script.operations, QStringList(uploads, rig.put()));
    QCOMPARE(answerer.texts, QStringList());
    QVERIFY(!rig.window.control().blnShowResult);
}

void tst_frmUpload::timerGateOffUploadsNothing() {
    ScriptedRig rig;
    rig.script.outcome = true;
    child<QLineEdit>(rig.window, "txtUpload")->setText("0");
    for (int i = 0; i < 3; ++i)
        QVERIFY(rig.ticks.tick());
    QCOMPARE(rig.script.made, 0);
    // The gate, not the interval, held them back.
    child<QCheckBox>(rig.window, "chkFTP")->setChecked(true);
    QVERIFY(rig.ticks.tick());
    QCOMPARE(rig.script.made, 1);
}

void tst_frmUpload::timerNeverPilesUp() {
    // Interval 0 against uploads that outlast many ticks: none comes while
    // one waits, so at most one upload is ever in flight, and the tick after
    // it ends starts the next.
    ScriptedRig rig;
    child<QLineEdit>(rig.window, "txtUpload")->setText("0");
    child<QCheckBox>(rig.window, "chkFTP")->setChecked(true);
    int most = 0;
    int ticksInWait = 0;
    rig.script.whileWaiting = [&] {
        most = std::max(most, rig.window.control().UploadsWaiting());
        for (int i = 0; i < 5; ++i)
            ticksInWait += rig.ticks.tick();
        most = std::max(most, rig.window.control().UploadsWaiting());
        rig.script.finish(true);
    };
    QVERIFY(rig.ticks.tick());
    QCOMPARE(rig.script.made, 1);
    QCOMPARE(ticksInWait, 0);
    QVERIFY(rig.ticks.tick());
    QCOMPARE(rig.script.made, 2);
    QCOMPARE(most, 1);
    QCOMPARE(rig.window.control().UploadsWaiting(), 0);
}

void tst_frmUpload::closeRoutes_data() {
    QTest::addColumn<bool>("byButton");
    QTest::newRow("Close button") << true;
    QTest::newRow("close box") << false;
}

void tst_frmUpload::closeRoutes() {
    QFETCH(bool, byButton);
    frmUpload w(noComponent());
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const int rc = runProgram([&] {
        if (byButton)
            QTest::mouseClick(child<QPushButton>(w, "cmdClose"), Qt::LeftButton);
        else
            w.close();
    });
    QCOMPARE(rc, 0);
    QVERIFY(!w.isVisible());
    QVERIFY(!uploadTimer(w)->isActive());
}

void tst_frmUpload::closeDuringStalledUpload() {
    // The server stops reading and the component would wait its full minute;
    // closing ends the wait, shows no box, and leaves the program free to end.
    Rig rig;
    // The real, minute-long time-outs.
    QVERIFY2(rig.start({.mode = "stall-data", .dropAfter = 64 * 1024},
                       QByteArray(8 * 1024 * 1024, 'x'), "channel_list.txt", TransferTimeouts{}),
             qPrintable(rig.server.errorString()));
    frmUpload& w = *rig.window;
    bool sawBox = false;
    QTimer watch;
    connect(&watch, &QTimer::timeout,
            [&] { sawBox = sawBox || QApplication::activeModalWidget(); });
    watch.start(20);
    QLoggingCategory::setFilterRules(
        QStringLiteral("harlune.upload.info=true\nharlune.transfer.debug=true"));
    LogCapture log;
    // Closed once the server holds the upload in its stall.
    QElapsedTimer clock;
    QTimer closer;
    connect(&closer, &QTimer::timeout, &w, [&] {
        if (clock.isValid() || rig.stores() == 0)
            return;
        clock.start();
        w.close();
    });
    closer.start(20);
    const int rc = runProgram(
        [&] { QTest::mouseClick(child<QPushButton>(w, "cmdUpload"), Qt::LeftButton); }, 30'000);
    const qint64 afterClose = clock.elapsed();
    QCOMPARE(rc, 0);
    QVERIFY(!w.isVisible());
    QVERIFY(!sawBox);
    QCOMPARE(w.control().UploadsWaiting(), 0);
    // Far below the minute the time-outs would take.
    QVERIFY2(afterClose < 10'000, qPrintable(QString::number(afterClose)));
    // The log tells the close and the upload it ended.
    QLoggingCategory::setFilterRules({});
    QVERIFY2(log.texts("harlune.upload", QtInfoMsg)
                 .contains("window closed; 1 upload(s) still waiting are ended"),
             qPrintable(log.all()));
    const QStringList warnings = log.texts("harlune.upload", QtWarningMsg);
    QCOMPARE(warnings.size(), 1);
    QVERIFY2(warnings[0].endsWith("failed: ended before it finished, as the program was closing"),
             qPrintable(warnings[0]));
    QVERIFY(log.texts("harlune.transfer", QtDebugMsg)
                .contains("ending an upload that is still running"));
}

void tst_frmUpload::closeAbortsAnyComponent() {
    // The window ends a waiting upload through the factory it was given, so
    // a component it does not know is ended too.
    CountingReporter reporter;
    ScriptedRig rig(&reporter);
    frmUpload& w = rig.window;
    w.show();
    rig.script.whileWaiting = [&] { w.close(); };
    const int rc =
        runProgram([&] { QTest::mouseClick(child<QPushButton>(w, "cmdUpload"), Qt::LeftButton); });
    QCOMPARE(rc, 0);
    QCOMPARE(rig.script.made, 1);
    QCOMPARE(rig.script.aborted, 1);
    QCOMPARE(w.control().UploadsWaiting(), 0);
    QVERIFY(reporter.shown.isEmpty());
}

void tst_frmUpload::closeThenHeldSessionsSayGoodbye() {
    // As the program ends: the window closes, then the session its upload
    // left held says QUIT.
    Rig rig;
    QVERIFY2(rig.start({}, "list\n"), qPrintable(rig.server.errorString()));
    const FtpTestServer& server = rig.server;
    frmUpload& w = *rig.window;
    BoxAnswerer answerer;
    QTest::mouseClick(child<QPushButton>(w, "cmdUpload"), Qt::LeftButton);
    QCOMPARE(answerer.texts, QStringList{"Success"});
    const int rc = runProgram([&] { w.close(); });
    QCOMPARE(rc, 0);
    // Closing the window leaves the held session alone.
    QVERIFY(!server.commands().contains("QUIT"));
    QVERIFY(!server.commands().contains("DISCONNECT"));
    CloseHeldSessions();
    QTRY_VERIFY(server.commands().contains("DISCONNECT"));
    const QStringList commands = server.commands();
    QCOMPARE(commands.filter(QRegularExpression("^CONNECT")).size(), 1);
    QCOMPARE(commands.at(commands.size() - 2), "QUIT");
}

QTEST_MAIN(tst_frmUpload)
#include "tst_frmupload.moc"
