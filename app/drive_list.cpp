#include "app/drive_list.h"

#include "listing/drives.h"

#include <QFile>
#include <algorithm>

namespace aster {

DriveList::DriveList(std::vector<std::string> drives, QWidget* parent)
    : QComboBox(parent), m_drives(std::move(drives)) {
    for (const std::string& drive : m_drives)
        addItem(QFile::decodeName(QByteArray::fromStdString(drive)));
    connect(this, &QComboBox::activated, this, [this](int index) {
        if (index == m_shown)
            return;
        m_shown = index;
        emit driveChosen();
    });
}

std::string DriveList::drive() const {
    const int index = currentIndex();
    return index >= 0 ? m_drives[static_cast<std::size_t>(index)] : std::string("/");
}

void DriveList::showDriveOf(const std::string& folder) {
    const std::string drive = DriveOf(m_drives, folder);
    const auto found = std::find(m_drives.begin(), m_drives.end(), drive);
    if (found == m_drives.end())
        return;
    m_shown = static_cast<int>(found - m_drives.begin());
    setCurrentIndex(m_shown);
}

} // namespace aster
