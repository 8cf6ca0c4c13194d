#pragma once

#include "ResultReporter.h"

class QWidget;

// The report of a manual upload: a modal box with the text alone, one OK
// button and no icon, under the application's title.
class MessageBoxReporter final : public ResultReporter {
public:
    explicit MessageBoxReporter(QWidget* parent) : parent_(parent) {}
    void ShowResult(const QString& text) override;

private:
    QWidget* parent_;
};
