#include "MessageBoxReporter.h"

#include <QApplication>
#include <QMessageBox>

void MessageBoxReporter::ShowResult(const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, QApplication::applicationName(), text, QMessageBox::Ok,
                    parent_);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}
