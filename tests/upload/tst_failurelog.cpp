#include "FailureLog.h"
#include "LogCapture.h"
#include "UploadLog.h"

#include <QTest>

namespace {

const QString Where = QStringLiteral("ftp://h:21, remote path \"c.txt\", user \"u\"");
const QString Refused = QStringLiteral("log-in refused for user \"u\"");

} // namespace

class tst_FailureLog : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void oneLineThenSummaries();
    void differentReasonStartsNewRun();
    void worksAgain();
    void manualFailuresAlwaysWritten();

private:
    QStringList warnings() const { return capture_->texts("harlune.upload", QtWarningMsg); }
    QStringList infos() const { return capture_->texts("harlune.upload", QtInfoMsg); }
    // Fails every second for `seconds` seconds.
    void failFor(FailureLog& log, int seconds, const QString& reason = Refused) {
        for (int i = 0; i < seconds; ++i) {
            now_ = now_.addSecs(1);
            log.failed(false, Where, reason);
        }
    }

    QDateTime now_;
    std::unique_ptr<LogCapture> capture_;
    FailureLog::Clock clock_ = [this] { return now_; };
};

void tst_FailureLog::init() {
    now_ = QDateTime(QDate(2026, 3, 1), QTime(8, 0, 0));
    QLoggingCategory::setFilterRules(QStringLiteral("harlune.upload.info=true"));
    capture_ = std::make_unique<LogCapture>();
}

void tst_FailureLog::cleanup() {
    capture_.reset();
    QLoggingCategory::setFilterRules({});
}

void tst_FailureLog::oneLineThenSummaries() {
    FailureLog log(clock_);
    failFor(log, 1);
    QCOMPARE(warnings(), QStringList{"automatic upload to " + Where + " failed: " + Refused});
    // Ten minutes less a second of failures: nothing more.
    failFor(log, 599);
    QCOMPARE(warnings().size(), 1);
    // Ten minutes after the first line, one summary of what was not said.
    failFor(log, 1);
    QCOMPARE(warnings().size(), 2);
    QCOMPARE(warnings().last(), "automatic upload to " + Where +
                                    " failed 600 more times since 2026-03-01 08:00:02, same "
                                    "reason: " +
                                    Refused);
    // A day of failures every second: one line per ten minutes.
    failFor(log, 24 * 3600);
    QCOMPARE(warnings().size(), 2 + 24 * 6);
    QVERIFY(infos().isEmpty());
}

void tst_FailureLog::differentReasonStartsNewRun() {
    FailureLog log(clock_);
    failFor(log, 5);
    failFor(log, 1, QStringLiteral("no answer from the server for 60 s"));
    // The old run's unsaid failures first, then the new run's first line.
    QCOMPARE(warnings().size(), 3);
    QVERIFY2(warnings()[1].contains("failed 4 more times since 2026-03-01 08:00:02"),
             qPrintable(warnings()[1]));
    QVERIFY(warnings()[2].endsWith("failed: no answer from the server for 60 s"));
    // Another destination is another run too.
    log.failed(false, QStringLiteral("sftp://h:22, remote path \"c.txt\", user \"u\""),
               QStringLiteral("no answer from the server for 60 s"));
    QCOMPARE(warnings().size(), 4);
}

void tst_FailureLog::worksAgain() {
    FailureLog log(clock_);
    log.succeeded(false, Where);
    QVERIFY(infos().isEmpty()); // nothing failed, so nothing works "again"
    failFor(log, 3);
    now_ = now_.addSecs(1);
    log.succeeded(false, Where);
    QCOMPARE(warnings().size(), 2); // the first failure, and the two not said
    QCOMPARE(infos(), QStringList{"automatic upload to " + Where +
                                  " works again, after 3 failed since 2026-03-01 08:00:01"});
    // The run is over: the same failure again is written at once.
    failFor(log, 1);
    QCOMPARE(warnings().size(), 3);
    QVERIFY(warnings().last().endsWith("failed: " + Refused));
}

void tst_FailureLog::manualFailuresAlwaysWritten() {
    FailureLog log(clock_);
    failFor(log, 2);
    log.failed(true, Where, Refused);
    log.failed(true, Where, Refused);
    QCOMPARE(warnings().size(), 3);
    QCOMPARE(warnings().last(), "manual upload to " + Where + " failed: " + Refused);
    // Automatic failures around them stay quiet until the summary is due.
    failFor(log, 10);
    QCOMPARE(warnings().size(), 3);
}

QTEST_GUILESS_MAIN(tst_FailureLog)
#include "tst_failurelog.moc"
