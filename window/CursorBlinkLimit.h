#pragma once

#include <QObject>
#include <QTimer>

#include <chrono>

// A text box with the focus blinks its cursor twice a second, and each blink
// wakes the program: three times the one wake-up a second its tick needs,
// for a window that sits untouched for weeks. As GNOME's own text boxes do,
// the cursor blinks for a while after the last key press or click in the
// program, then stays lit until the next one.
class CursorBlinkLimit : public QObject {
public:
    explicit CursorBlinkLimit(std::chrono::milliseconds blinkFor = std::chrono::seconds(10),
                              QObject* parent = nullptr);
    ~CursorBlinkLimit() override;

    bool blinking() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void setBlinking(bool on);

    int flashTime_; // the desktop's own, restored while blinking
    QTimer still_;
};
