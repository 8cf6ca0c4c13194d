#pragma once

#include <QList>
#include <QLoggingCategory>
#include <QString>
#include <QStringList>

#include <mutex>

// Collects every message the program writes through Qt's logging while it
// lives (from any thread), and restores the previous handler after.
class LogCapture {
public:
    struct Line {
        QtMsgType type;
        QString category;
        QString text;
    };

    LogCapture() {
        std::lock_guard lock(mutex());
        current() = this;
        previous_ = qInstallMessageHandler(&LogCapture::handle);
    }
    ~LogCapture() {
        std::lock_guard lock(mutex());
        qInstallMessageHandler(previous_);
        current() = nullptr;
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    QList<Line> lines() const {
        std::lock_guard lock(mutex());
        return lines_;
    }
    // The texts of one category at one level.
    QStringList texts(const char* category, QtMsgType type) const {
        QStringList found;
        for (const Line& line : lines()) {
            if (line.type == type && line.category == QLatin1String(category))
                found << line.text;
        }
        return found;
    }
    // Everything captured, one line per message with its category.
    QString all() const {
        QString text;
        for (const Line& line : lines())
            text += line.category + u' ' + line.text + u'\n';
        return text;
    }
    void clear() {
        std::lock_guard lock(mutex());
        lines_.clear();
    }

private:
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    static LogCapture*& current() {
        static LogCapture* capture = nullptr;
        return capture;
    }
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& text) {
        std::lock_guard lock(mutex());
        if (LogCapture* capture = current())
            capture->lines_.append({type, QString::fromUtf8(context.category), text});
    }

    QtMessageHandler previous_ = nullptr;
    QList<Line> lines_;
};
