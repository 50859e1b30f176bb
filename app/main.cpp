#include "app/frm_aster.h"
#include "app/messenger.h"
#include "listing/drives.h"

#include <QApplication>
#include <filesystem>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Aster"));
    aster::MessageBoxMessenger messenger;
    std::error_code error;
    const std::string workingFolder = std::filesystem::current_path(error).string();
    aster::FrmAster window(messenger, aster::MachineDrives(), error ? "/" : workingFolder);
    window.show();
    return QApplication::exec();
}
