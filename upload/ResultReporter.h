#pragma once

#include <QString>

// Tells the user how a manual upload went. Returns once the user has seen
// it; the window shows a modal message box.
class ResultReporter {
public:
    virtual ~ResultReporter() = default;
    virtual void ShowResult(const QString& text) = 0;
};
