#include "app/frm_aster.h"
#include "app/messenger.h"
#include "cli/display.h"
#include "fileio/write_signals.h"
#include "listing/drives.h"

#include <QApplication>
#include <iostream>

int main(int argc, char* argv[]) {
    aster::IgnoreWriteSignals();
    if (const std::optional<std::string> reason = aster::NoDisplayReason()) {
        std::cerr << "aster-window" << *reason << std::flush;
        return 1;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Aster"));
    aster::MessageBoxMessenger messenger;
    // The window opens in the folder it was started in, or at the root when that has gone.
    aster::FrmAster window(messenger, aster::MachineDrives(), ".");
    window.show();
    return QApplication::exec();
}
