#include "app/cli/command_line.h"
#include "app/cli/stop_signals.h"
#include "app/frm_aster.h"
#include "app/messenger.h"
#include "listing/drives.h"

#include <QApplication>
#include <filesystem>
#include <iostream>
#include <unistd.h>

int main(int argc, char* argv[]) {
    aster::IgnoreWriteSignals();
    // A command runs without the window, so without any display.
    if (argc > 1)
        return aster::RunCommandLine(argc, argv,
                                     {std::cout, std::cerr, ::isatty(STDERR_FILENO) == 1});

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Aster"));
    aster::MessageBoxMessenger messenger;
    std::error_code error;
    const std::string workingFolder = std::filesystem::current_path(error).string();
    aster::FrmAster window(messenger, aster::MachineDrives(), error ? "/" : workingFolder);
    window.show();
    return QApplication::exec();
}
