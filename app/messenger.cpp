#include "app/messenger.h"

#include <QGuiApplication>
#include <QIcon>
#include <QMessageBox>
#include <QPushButton>

namespace aster {

void MessageBoxMessenger::showMessage(QWidget* owner, const QString& prompt) {
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Aster"), prompt, QMessageBox::Ok, owner);
    box.setObjectName(QStringLiteral("messageBox"));
    box.setTextFormat(Qt::PlainText);
    box.setWindowModality(Qt::ApplicationModal);
    // Some styles put a tick on the OK button; the message has no icon anywhere.
    box.button(QMessageBox::Ok)->setIcon(QIcon());
    // A run shows the wait cursor; the user needs the arrow to answer.
    QGuiApplication::setOverrideCursor(Qt::ArrowCursor);
    box.exec();
    QGuiApplication::restoreOverrideCursor();
}

} // namespace aster
