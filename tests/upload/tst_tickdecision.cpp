#include "TickDecision.h"

#include <QTest>

Q_DECLARE_METATYPE(std::optional<int>)

namespace {
constexpr quint32 kSignTurn = 0x8000'0000u; // 2^31 ms, about 24.9 days of up-time
} // namespace

class tst_TickDecision : public QObject {
    Q_OBJECT
private slots:
    void decision_data();
    void decision();
    void parseInterval_data();
    void parseInterval();
};

void tst_TickDecision::decision_data() {
    QTest::addColumn<quint32>("now");
    QTest::addColumn<qint32>("lastUpload");
    QTest::addColumn<QString>("interval");
    QTest::addColumn<bool>("intervalReadable");
    QTest::addColumn<std::optional<int>>("gate");
    QTest::addColumn<bool>("waiting");
    QTest::addColumn<bool>("upload");

    const std::optional<int> on = -1, off = 0, unreadable = std::nullopt;
    QTest::newRow("first tick, up 10 min, 60")
        << 600'000u << 0 << "60" << true << on << false << true;
    QTest::newRow("first tick, up 30 s, 60")
        << 30'000u << 0 << "60" << true << on << false << false;
    QTest::newRow("59 s after") << 159'000u << 100'000 << "60" << true << on << false << false;
    QTest::newRow("exactly 60 s after")
        << 160'000u << 100'000 << "60" << true << on << false << true;
    QTest::newRow("60.001 s after") << 160'001u << 100'000 << "60" << true << on << false << true;
    QTest::newRow("0 at once") << 100'000u << 100'000 << "0" << true << on << false << true;
    QTest::newRow("-5 at once") << 100'000u << 100'000 << "-5" << true << on << false << true;
    QTest::newRow("0.5 after one tick")
        << 101'000u << 100'000 << "0.5" << true << on << false << true;
    QTest::newRow("0.5 after 499 ms")
        << 100'499u << 100'000 << "0.5" << true << on << false << false;
    QTest::newRow("9999 short by 1 ms")
        << 10'098'999u << 100'000 << "9999" << true << on << false << false;
    QTest::newRow("9999 reached") << 10'099'000u << 100'000 << "9999" << true << on << false
                                  << true;
    // An interval that cannot be worked out leaves it to the gate.
    QTest::newRow("empty, gate on") << 100'000u << 100'000 << "" << true << on << false << true;
    QTest::newRow("abc, gate on") << 100'000u << 100'000 << "abc" << true << on << false << true;
    QTest::newRow("abc, gate off") << 100'000u << 100'000 << "abc" << true << off << false << false;
    QTest::newRow("unreadable, gate on")
        << 100'000u << 100'000 << "" << false << on << false << true;
    QTest::newRow("gate off") << 600'000u << 0 << "60" << true << off << false << false;
    QTest::newRow("gate unreadable")
        << 600'000u << 0 << "60" << true << unreadable << false << true;
    QTest::newRow("gate any non-zero")
        << 600'000u << 0 << "60" << true << std::optional<int>(1) << false << true;
    QTest::newRow("upload waiting") << 600'000u << 0 << "0" << true << on << true << false;
    // Across the sign turn at 2^31 ms: measured, neither forced nor blocked.
    QTest::newRow("sign turn, not due") << kSignTurn + 1'000u << qint32(kSignTurn - 30'000u) << "60"
                                        << true << on << false << false;
    QTest::newRow("sign turn, due") << kSignTurn + 30'000u << qint32(kSignTurn - 30'000u) << "60"
                                    << true << on << false << true;
    QTest::newRow("no upload yet, count negative")
        << kSignTurn + 5'000u << 0 << "60" << true << on << false << true;
    // Across the wrap at 2^32 ms.
    QTest::newRow("wrap, not due")
        << 10'000u << qint32(0xFFFF'0000u) << "600" << true << on << false << false;
    QTest::newRow("wrap, due") << 10'000u << qint32(0xFFFF'0000u) << "60" << true << on << false
                               << true;
    QTest::newRow("wrap, exactly due")
        << 10'000u << qint32(0xFFFF'FFFFu - 49'999u) << "60" << true << on << false << true;
}

void tst_TickDecision::decision() {
    QFETCH(quint32, now);
    QFETCH(qint32, lastUpload);
    QFETCH(QString, interval);
    QFETCH(bool, intervalReadable);
    QFETCH(std::optional<int>, gate);
    QFETCH(bool, waiting);
    QFETCH(bool, upload);
    TickState tick;
    tick.now = now;
    tick.lastUpload = lastUpload;
    if (intervalReadable)
        tick.intervalText = interval;
    tick.gate = gate;
    tick.uploadWaiting = waiting;
    QCOMPARE(ShouldStartAutoUpload(tick), upload);
}

void tst_TickDecision::parseInterval_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<double>("seconds");
    QTest::newRow("60") << "60" << true << 60.0;
    QTest::newRow("0.5") << "0.5" << true << 0.5;
    QTest::newRow("-5") << "-5" << true << -5.0;
    QTest::newRow("blanks") << " 60 " << true << 60.0;
    QTest::newRow("empty") << "" << false << 0.0;
    QTest::newRow("abc") << "abc" << false << 0.0;
    QTest::newRow("inf") << "inf" << false << 0.0;
    QTest::newRow("nan") << "nan" << false << 0.0;
}

void tst_TickDecision::parseInterval() {
    QFETCH(QString, text);
    QFETCH(bool, valid);
    const auto seconds = ParseInterval(text);
    QCOMPARE(seconds.has_value(), valid);
    if (valid) {
        QFETCH(double, seconds);
        QCOMPARE(*ParseInterval(text), seconds);
    }
}

QTEST_GUILESS_MAIN(tst_TickDecision)
#include "tst_tickdecision.moc"
