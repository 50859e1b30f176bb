#include "messenger.h"

#include <QGuiApplication>
#include <QMessageBox>

namespace aster {

void MessageBoxMessenger::showMessage(QWidget* owner, const QString& prompt) {
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Aster"), prompt, QMessageBox::Ok, owner);
    box.setObjectName(QStringLiteral("messageBox"));
    box.setTextFormat(Qt::PlainText);
    box.setWindowModality(Qt::ApplicationModal);
    // A run shows the wait cursor; the user needs the arrow to answer.
    QGuiApplication::setOverrideCursor(Qt::ArrowCursor);
    box.exec();
    QGuiApplication::restoreOverrideCursor();
}

} // namespace aster
