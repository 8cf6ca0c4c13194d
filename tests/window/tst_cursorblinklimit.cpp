#include "CursorBlinkLimit.h"

#include <QApplication>
#include <QLineEdit>
#include <QTest>

// The cursor stops blinking once the program has had no input for a while,
// so that an untouched window wakes for its tick alone, and blinks again at
// the next key press or click.
class tst_CursorBlinkLimit : public QObject {
    Q_OBJECT
private slots:
    void init() { QApplication::setCursorFlashTime(1000); }
    void stopsAfterQuietAndResumesOnInput_data();
    void stopsAfterQuietAndResumesOnInput();
    void restoresTheDesktopsBlinkWhenGone();
};

void tst_CursorBlinkLimit::stopsAfterQuietAndResumesOnInput_data() {
    QTest::addColumn<bool>("byKey");
    QTest::newRow("key press") << true;
    QTest::newRow("click") << false;
}

void tst_CursorBlinkLimit::stopsAfterQuietAndResumesOnInput() {
    QFETCH(bool, byKey);
    QLineEdit box;
    box.show();
    QVERIFY(QTest::qWaitForWindowExposed(&box));
    const CursorBlinkLimit limit(std::chrono::milliseconds(200));
    QVERIFY(limit.blinking());
    QTRY_VERIFY(!limit.blinking());
    QCOMPARE(QApplication::cursorFlashTime(), 0);

    if (byKey)
        QTest::keyClick(&box, Qt::Key_A);
    else
        QTest::mouseClick(&box, Qt::LeftButton);
    QVERIFY(limit.blinking());
    QCOMPARE(QApplication::cursorFlashTime(), 1000);
    QTRY_VERIFY(!limit.blinking());
}

void tst_CursorBlinkLimit::restoresTheDesktopsBlinkWhenGone() {
    {
        const CursorBlinkLimit limit(std::chrono::milliseconds(50));
        QTRY_VERIFY(!limit.blinking());
    }
    QCOMPARE(QApplication::cursorFlashTime(), 1000);
}

QTEST_MAIN(tst_CursorBlinkLimit)
#include "tst_cursorblinklimit.moc"
