#include "CursorBlinkLimit.h"

#include <QApplication>
#include <QEvent>

CursorBlinkLimit::CursorBlinkLimit(std::chrono::milliseconds blinkFor, QObject* parent)
    : QObject(parent), flashTime_(QApplication::cursorFlashTime()) {
    still_.setSingleShot(true);
    still_.setInterval(blinkFor);
    connect(&still_, &QTimer::timeout, this, [this] { setBlinking(false); });
    qApp->installEventFilter(this);
    still_.start();
}

CursorBlinkLimit::~CursorBlinkLimit() {
    if (QCoreApplication* app = QCoreApplication::instance())
        app->removeEventFilter(this);
    setBlinking(true);
}

bool CursorBlinkLimit::blinking() const {
    return QApplication::cursorFlashTime() == flashTime_;
}

bool CursorBlinkLimit::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::MouseButtonPress:
    case QEvent::InputMethod:
        setBlinking(true);
        still_.start();
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

void CursorBlinkLimit::setBlinking(bool on) {
    // Text boxes follow the change at once; 0 means a cursor that stays lit.
    const int wanted = on ? flashTime_ : 0;
    if (QApplication::cursorFlashTime() != wanted)
        QApplication::setCursorFlashTime(wanted);
}
