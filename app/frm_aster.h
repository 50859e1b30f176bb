#pragma once

#include <QWidget>
#include <memory>
#include <string>
#include <vector>

class QButtonGroup;
class QLabel;

namespace aster {

class DriveList;
class FolderList;
class Messenger;
class WrappingButton;
class WrappingRadioButton;
struct Error;

// The tool's only window. It keeps no state of its own: the chosen folder is the folder
// list's path and the options are the option buttons' states, read by the listing and
// the build run while they run.
class FrmAster : public QWidget {
    Q_OBJECT

  public:
    FrmAster(Messenger& messenger, std::vector<std::string> drives,
             const std::string& workingFolder, QWidget* parent = nullptr);
    ~FrmAster() override;

    FolderList* folderList() const { return m_dirFolder; }
    DriveList* driveList() const { return m_drvDrive; }

  public slots:
    void drvDrive_Change();
    void cmdFiles_Click();
    void cmdText_Click();

  protected:
    bool focusNextPrevChild(bool next) override;

  private:
    class Host;

    void showError(const Error& error);
    template <typename Procedure> void run(Procedure procedure);

    Messenger& m_messenger;
    std::string m_workingFolder;
    QLabel* m_label1 = nullptr;
    DriveList* m_drvDrive = nullptr;
    FolderList* m_dirFolder = nullptr;
    QLabel* m_label2 = nullptr;
    WrappingButton* m_cmdFiles = nullptr;
    QLabel* m_lblList = nullptr;
    QLabel* m_label3 = nullptr;
    QLabel* m_label4 = nullptr;
    WrappingButton* m_cmdText = nullptr;
    WrappingRadioButton* m_optBlanks = nullptr;
    WrappingRadioButton* m_optPolys = nullptr;
    QLabel* m_lblGenerate = nullptr;
    WrappingRadioButton* m_optSpread = nullptr;
    QLabel* m_lblSpread = nullptr;
    QButtonGroup* m_styleGroup = nullptr;
    QButtonGroup* m_blanksGroup = nullptr;
};

// The font every control uses: the boxes are sized for it.
QFont WindowFont();

} // namespace aster
