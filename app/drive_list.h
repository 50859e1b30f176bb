#pragma once

#include <QComboBox>
#include <string>
#include <vector>

namespace aster {

// The drive list: the machine's drives by mount point. driveChosen() is emitted only when
// the user picks a drive other than the one shown.
class DriveList : public QComboBox {
    Q_OBJECT

  public:
    explicit DriveList(std::vector<std::string> drives, QWidget* parent = nullptr);

    const std::vector<std::string>& drives() const { return m_drives; }
    // The drive text: the mount point of the drive shown, as bytes.
    std::string drive() const;
    // Shows the drive that holds `folder`, without emitting driveChosen().
    void showDriveOf(const std::string& folder);

  signals:
    void driveChosen();

  private:
    std::vector<std::string> m_drives;
    int m_shown = -1;
};

} // namespace aster
