#pragma once

#include <QWidget>
#include <array>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QButtonGroup;
class QLabel;

namespace aster {

class DriveList;
class FolderList;
class Messenger;
class Procedures;
class ProgressWatch;
class TaskState;
class WrappingButton;
class WrappingRadioButton;
struct Error;
struct ProgressText;

// The tool's only window. The chosen folder is the folder list's path and the options are
// the option buttons' states; a procedure takes them when it starts.
//
// The procedures and every folder read run on worker threads. While the window waits for
// one it keeps painting but takes no input, and after a second it shows the work's
// progress with Cancel. A folder read that does not answer is given up on Cancel and left
// to return whenever it can; the window's first folder is read without waiting at all.
// After Cancel the window may be closed while a procedure is still stopping: it is left to
// stop on its own, and publishes nothing.
class FrmAster : public QWidget {
    Q_OBJECT

  public:
    // The window over the disk.
    FrmAster(Messenger& messenger, std::vector<std::string> drives,
             const std::string& workingFolder, QWidget* parent = nullptr);
    FrmAster(Messenger& messenger, std::shared_ptr<Procedures> procedures,
             std::vector<std::string> drives, const std::string& workingFolder,
             QWidget* parent = nullptr);
    ~FrmAster() override;

    // How long work runs before its progress shows: about a second.
    void setProgressDelay(std::chrono::milliseconds delay);

  public slots:
    void drvDrive_Change();
    void cmdFiles_Click();
    void cmdText_Click();

  protected:
    bool focusNextPrevChild(bool next) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    // True while the window waits for a procedure or a folder read and takes no input.
    bool isBusy() const { return m_busyDepth > 0; }
    std::array<QWidget*, 7> tabChain() const;
    class Host;
    class BusyScope;
    struct FolderRead;
    struct ProcedureRun;
    struct Wait;
    enum class Procedure { ListTheFiles, MakeTextFiles };
    enum class Waited { Finished, GaveUp, Closed };

    void showError(const Error& error);
    void runProcedure(Procedure procedure);
    void showWorkMessage(const std::string& prompt);
    Waited waitFor(const std::shared_ptr<TaskState>& work, const ProgressText& text,
                   bool giveUpOnCancel);
    std::shared_ptr<FolderRead> startFolderRead(const std::string& folder);
    std::optional<Error> readFolder(const std::string& folder, std::vector<std::string>& names);
    void openFirstFolder(const std::string& folder);
    void endFirstRead(bool cancelled);
    void dropFirstRead();

    Messenger& m_messenger;
    std::shared_ptr<Procedures> m_procedures;
    std::string m_workingFolder;
    std::chrono::milliseconds m_progressDelay{1000};
    int m_busyDepth = 0;
    ProgressWatch* m_waitWatch = nullptr;
    Wait* m_wait = nullptr; // the innermost wait
    bool m_closedWhileWaiting = false;
    std::shared_ptr<FolderRead> m_firstRead;
    std::unique_ptr<ProgressWatch> m_firstReadWatch;

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

} // namespace aster
