#include "app/frm_aster.h"

#include "app/drive_list.h"
#include "app/folder_list.h"
#include "app/hints.h"
#include "app/messenger.h"
#include "app/procedures.h"
#include "app/progress_watch.h"
#include "app/task_state.h"
#include "app/wrapping_buttons.h"
#include "fileio/error.h"
#include "fileio/folder.h"
#include "listing/drives.h"
#include "listing/folders.h"

#include <QAccessibleWidget>
#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QScopeGuard>
#include <QWindow>
#include <thread>

namespace aster {

namespace {

// The layout is given in twips; 15 twips make one pixel at 96 dots per inch.
QRect Twips(int left, int top, int width, int height) {
    return {left / 15, top / 15, width / 15, height / 15};
}

QString FromBytes(const std::string& bytes) {
    return QFile::decodeName(QByteArray::fromStdString(bytes));
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, const QRect& geometry) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setTextFormat(Qt::PlainText);
    label->setAccessibleName(text);
    label->setGeometry(geometry);
    return label;
}

template <typename Button>
Button* MakeButton(QWidget* parent, const char* name, const QString& text, const QRect& geometry) {
    auto* button = new Button(text, parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setAccessibleName(text);
    button->setGeometry(geometry);
    return button;
}

// A top-level QWidget is a "filler" to screen readers, which look for a frame: the window
// is announced as one, as a main window or a dialog is.
QAccessibleInterface* WindowAccessible(const QString& className, QObject* object) {
    if (className == QLatin1String("aster::FrmAster"))
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Window);
    return nullptr;
}

bool IsUserInput(QEvent::Type type) {
    switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::ContextMenu:
    case QEvent::InputMethod:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TabletPress:
    case QEvent::TabletRelease:
    case QEvent::Drop:
        return true;
    default:
        return false;
    }
}

ProgressText RunText() {
    return {QStringLiteral("Reading the listed files..."),
            [](std::int64_t done, std::int64_t total) {
                return total > 0 ? QStringLiteral("%1 of %2 listed files done").arg(done).arg(total)
                                 : QStringLiteral("%1 listed files done").arg(done);
            }};
}

ProgressText FolderText() {
    return {QStringLiteral("Reading the folder..."), [](std::int64_t done, std::int64_t) {
                return QStringLiteral("%1 entries read").arg(done);
            }};
}

// The font every control uses: the boxes are sized for it.
QFont WindowFont() {
    QFont font(QStringLiteral("Liberation Sans"));
    font.setPixelSize(10);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

// The window's first folder: the root when the one it was started in has gone.
std::string FirstFolder(const std::string& workingFolder) {
    std::string folder;
    if (NormalFolderPath(workingFolder, folder))
        folder = "/";
    return folder;
}

} // namespace

// What the procedures read from the window: the folder and the options as they were when
// the procedure started (no input reaches the window while it runs), and its modal
// messages, shown by the window's thread while the procedure waits for each.
// The window itself is reached only through the work's calls, which end when the window
// stops answering: a procedure left to stop after the window closed never touches it.
class FrmAster::Host : public CatalogueHost, public ListingHost {
  public:
    Host(FrmAster& window, TaskState& work)
        : m_window(window), m_work(work), m_folder(window.m_dirFolder->path()),
          m_blanks(window.m_optBlanks->isChecked()), m_polys(window.m_optPolys->isChecked()),
          m_spread(window.m_optSpread->isChecked()) {}

    std::string folderPath() override { return m_folder; }
    bool blanksSelected() override { return m_blanks; }
    bool polysSelected() override { return m_polys; }
    bool spreadSelected() override { return m_spread; }
    void showMessage(const std::string& prompt) override {
        FrmAster* const window = &m_window;
        m_work.callOnWindow([window, prompt] { window->showWorkMessage(prompt); });
    }
    void progress(std::int64_t done, std::int64_t total) override {
        m_work.done = done;
        m_work.total = total;
    }
    void progress(std::int64_t entriesRead) override { m_work.done = entriesRead; }
    bool cancelRequested() override { return m_work.cancelRequested; }

  private:
    FrmAster& m_window;
    TaskState& m_work;
    const std::string m_folder;
    const bool m_blanks;
    const bool m_polys;
    const bool m_spread;
};

// While the window waits for work: its input is dropped (its controls stay as they are),
// the wait cursor shows, and the first folder's progress does not.
class FrmAster::BusyScope {
  public:
    explicit BusyScope(FrmAster& window) : m_window(window) {
        if (m_window.m_busyDepth++ > 0)
            return;
        qApp->installEventFilter(&m_window);
        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
        if (m_window.m_firstReadWatch)
            m_window.m_firstReadWatch->pause();
    }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;
    ~BusyScope() {
        if (--m_window.m_busyDepth > 0)
            return;
        qApp->removeEventFilter(&m_window);
        QGuiApplication::restoreOverrideCursor();
        if (m_window.m_firstReadWatch)
            m_window.m_firstReadWatch->resume();
    }

  private:
    FrmAster& m_window;
};

// One folder read for the folder list. The worker writes the results, then finishes.
struct FrmAster::FolderRead : TaskState {
    std::string folder;
    std::vector<std::string> names;
    std::optional<Error> error;
};

// One procedure: all its worker uses, so that the worker may outlive the window.
struct FrmAster::ProcedureRun : TaskState {
    explicit ProcedureRun(FrmAster& window) : host(window, *this) {}
    Host host;
    std::optional<Error> error;
};

// What closing the window ends: the event loop of one wait, and those it is nested in.
struct FrmAster::Wait {
    TaskState& work;
    QEventLoop& loop;
    Wait* outer;
};

FrmAster::FrmAster(Messenger& messenger, std::vector<std::string> drives,
                   const std::string& workingFolder, QWidget* parent)
    : FrmAster(messenger, std::make_shared<DiskProcedures>(), std::move(drives), workingFolder,
               parent) {
}

FrmAster::FrmAster(Messenger& messenger, std::shared_ptr<Procedures> procedures,
                   std::vector<std::string> drives, const std::string& workingFolder,
                   QWidget* parent)
    : QWidget(parent), m_messenger(messenger), m_procedures(std::move(procedures)),
      m_workingFolder(FirstFolder(workingFolder)) {
    static const bool kWindowAccessible = (QAccessible::installFactory(WindowAccessible), true);
    (void)kWindowAccessible;
    setObjectName(QStringLiteral("frmAster"));
    setWindowTitle(QStringLiteral("Aster"));
    setFont(WindowFont());
    resize(7215 / 15, 5475 / 15);

    m_label1 = MakeLabel(this, "Label1", QStringLiteral("1) Select Folder with ASTER scenes"),
                         Twips(120, 120, 1095, 735));

    m_drvDrive = new DriveList(std::move(drives), this);
    m_drvDrive->setObjectName(QStringLiteral("drvDrive"));
    m_drvDrive->setAccessibleName(QStringLiteral("Drive"));
    m_drvDrive->setGeometry(Twips(1320, 240, 4095, 315));

    m_dirFolder = new FolderList(
        [this](const std::string& folder, std::vector<std::string>& names) {
            return readFolder(folder, names);
        },
        this);
    m_dirFolder->setObjectName(QStringLiteral("dirFolder"));
    m_dirFolder->setAccessibleName(QStringLiteral("Folder"));
    m_dirFolder->setGeometry(Twips(1320, 720, 4095, 990));

    m_label2 =
        MakeLabel(this, "Label2", QStringLiteral("2) Generate a list of files in that folder "),
                  Twips(480, 1800, 3495, 375));
    m_cmdFiles = MakeButton<WrappingButton>(this, "cmdFiles", QStringLiteral("Get List of Files"),
                                            Twips(720, 2160, 1695, 615));
    m_lblList = MakeLabel(this, "lblList",
                          QStringLiteral("Make list of all Aster files in the folder chosen above"),
                          Twips(2520, 2280, 4335, 255));
    m_label3 = MakeLabel(
        this, "Label3",
        QStringLiteral("3) Select which text file to make. If you want polygons, the generate "
                       "format can be used in ArcInfo or ArcView with an extention."),
        Twips(0, 2880, 1695, 1215));
    m_label4 = MakeLabel(this, "Label4",
                         QStringLiteral("Selecting this will check for blank metadata files "
                                        "while you make the text file"),
                         Twips(5640, 3000, 1215, 975));
    m_cmdText = MakeButton<WrappingButton>(this, "cmdText",
                                           QStringLiteral("Create Text File of ASTER Data"),
                                           Twips(1800, 3240, 1695, 735));
    m_optBlanks = MakeButton<WrappingRadioButton>(
        this, "optBlanks", QStringLiteral("Check for Blanks"), Twips(4320, 3240, 1095, 495));
    m_optPolys = MakeButton<WrappingRadioButton>(this, "optPolys", QStringLiteral("Option1"),
                                                 Twips(1080, 4080, 255, 375));
    m_lblGenerate =
        MakeLabel(this, "lblGenerate",
                  QStringLiteral("Make a text file to generate polygons from corner "
                                 "points in ASTER data files in folder specified above"),
                  Twips(1440, 4080, 4335, 495));
    m_optSpread = MakeButton<WrappingRadioButton>(this, "optSpread", QStringLiteral("Option2"),
                                                  Twips(1080, 4680, 255, 375));
    m_lblSpread = MakeLabel(this, "lblSpread",
                            QStringLiteral("Make a text file with filename, date, time, and "
                                           "corner points for ASTER data files in Folder listed "
                                           "above "),
                            Twips(1320, 4680, 4335, 495));

    m_optPolys->setAccessibleDescription(m_lblGenerate->text());
    m_optSpread->setAccessibleDescription(m_lblSpread->text());
    m_optBlanks->setAccessibleDescription(m_label4->text());
    m_lblGenerate->setBuddy(m_optPolys);
    m_lblSpread->setBuddy(m_optSpread);
    m_label4->setBuddy(m_optBlanks);
    m_lblList->setBuddy(m_cmdFiles);
    // On Linux a drive list's accessible name is the drive it shows; the first step's
    // instruction labels it instead.
    m_label1->setBuddy(m_drvDrive);

    for (WrappingButton* button : {m_cmdFiles, m_cmdText}) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }

    // Exclusive groups also keep a selected option from being cleared by a second click.
    m_styleGroup = new QButtonGroup(this);
    m_styleGroup->addButton(m_optPolys);
    m_styleGroup->addButton(m_optSpread);
    m_blanksGroup = new QButtonGroup(this);
    m_blanksGroup->addButton(m_optBlanks);

    const auto chain = tabChain();
    for (std::size_t i = 1; i < chain.size(); ++i)
        QWidget::setTabOrder(chain[i - 1], chain[i]);
    m_cmdText->setFocus();

    openFirstFolder(m_workingFolder);

    connect(m_drvDrive, &DriveList::driveChosen, this, &FrmAster::drvDrive_Change);
    connect(m_cmdFiles, &QPushButton::clicked, this, &FrmAster::cmdFiles_Click);
    connect(m_cmdText, &QPushButton::clicked, this, &FrmAster::cmdText_Click);
    connect(m_dirFolder, &FolderList::openFailed, this, &FrmAster::showError);
}

FrmAster::~FrmAster() {
    dropFirstRead();
}

void FrmAster::setProgressDelay(std::chrono::milliseconds delay) {
    m_progressDelay = delay;
    if (m_firstReadWatch)
        m_firstReadWatch->setDelay(delay);
}

// The controls that take the focus, in the order Tab visits them; the labels never do.
std::array<QWidget*, 7> FrmAster::tabChain() const {
    return {m_cmdText, m_cmdFiles, m_dirFolder, m_drvDrive, m_optPolys, m_optSpread, m_optBlanks};
}

// Tab visits every control that takes the focus in tab-index order, each option button
// included: Qt would otherwise give the two style buttons a single stop between them.
bool FrmAster::focusNextPrevChild(bool next) {
    const auto chain = tabChain();
    const int count = static_cast<int>(chain.size());
    const QWidget* current = QApplication::focusWidget();
    int index = -1;
    for (int i = 0; i < count; ++i) {
        if (chain[i] == current || (current != nullptr && chain[i]->isAncestorOf(current)))
            index = i;
    }
    if (index < 0)
        return QWidget::focusNextPrevChild(next);
    const int target = (index + (next ? 1 : count - 1)) % count;
    chain[target]->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
    return true;
}

// Input is dropped where the window system hands it to the window, before a press could
// move the focus, and again at any of the window's widgets for input sent to them.
bool FrmAster::eventFilter(QObject* watched, QEvent* event) {
    if (isBusy() && IsUserInput(event->type())) {
        if (watched == static_cast<QObject*>(windowHandle()) ||
            (watched->isWidgetType() && static_cast<QWidget*>(watched)->window() == this))
            return true;
    }
    return QWidget::eventFilter(watched, event);
}

// A procedure writes into the folder: the window goes only once it has finished, or once
// it was asked to stop. Then it publishes nothing, and it is not waited for, since it may
// be stuck on a mount that does not answer.
void FrmAster::closeEvent(QCloseEvent* event) {
    if (isBusy()) {
        if (m_wait == nullptr || !m_wait->work.cancelRequested) {
            event->ignore();
            return;
        }
        m_closedWhileWaiting = true;
        for (Wait* wait = m_wait; wait != nullptr; wait = wait->outer)
            wait->loop.quit();
    }
    QWidget::closeEvent(event);
}

void FrmAster::showError(const Error& error) {
    m_messenger.showMessage(this, FromBytes(FormatError(error, WindowHint(error))));
}

void FrmAster::drvDrive_Change() {
    const std::string drive = m_drvDrive->drive();
    const std::string folder = DriveCurrentFolder(m_drvDrive->drives(), drive, m_workingFolder);
    if (auto error = m_dirFolder->setPath(folder)) {
        m_drvDrive->showDriveOf(m_dirFolder->path());
        if (!IsCancellation(*error))
            showError(*error);
    }
}

// Runs the event loop until `work` has finished: the window keeps painting, takes no input
// and shows the work's progress after the delay. Cancel asks the work to stop; with
// `giveUpOnCancel` the window also stops waiting at once. After Cancel, closing the window
// ends the wait too.
FrmAster::Waited FrmAster::waitFor(const std::shared_ptr<TaskState>& work, const ProgressText& text,
                                   bool giveUpOnCancel) {
    const BusyScope busy(*this);
    ProgressWatch watch(this, work, text, m_progressDelay);
    QEventLoop loop;
    bool gaveUp = false;
    connect(&watch, &ProgressWatch::cancelled, &loop, [&] {
        if (giveUpOnCancel) {
            gaveUp = true;
            loop.quit();
        }
    });
    ProgressWatch* const outerWatch = std::exchange(m_waitWatch, &watch);
    Wait wait{*work, loop, m_wait};
    m_wait = &wait;
    work->notifyOnFinish(&loop, [&loop] { loop.quit(); });
    const auto stopListening = qScopeGuard([&] {
        work->notifyOnFinish(nullptr, {});
        m_waitWatch = outerWatch;
        m_wait = wait.outer;
    });
    if (!work->isFinished() && !m_closedWhileWaiting)
        loop.exec();
    if (m_closedWhileWaiting) {
        if (wait.outer == nullptr)
            m_closedWhileWaiting = false; // a window shown again waits as before
        return Waited::Closed;
    }
    return gaveUp ? Waited::GaveUp : Waited::Finished;
}

// On the window's thread, for a procedure that waits meanwhile.
void FrmAster::showWorkMessage(const std::string& prompt) {
    ProgressWatch* const watch = m_waitWatch;
    if (watch != nullptr)
        watch->pause();
    m_messenger.showMessage(this, FromBytes(prompt));
    if (watch != nullptr)
        watch->resume();
}

void FrmAster::runProcedure(Procedure procedure) {
    const auto run = std::make_shared<ProcedureRun>(*this);
    run->answerOn(this);
    std::thread worker([run, procedures = m_procedures, procedure] {
        run->error = procedure == Procedure::ListTheFiles ? procedures->listTheFiles(run->host)
                                                          : procedures->makeTextFiles(run->host);
        run->finish();
    });
    const Waited waited =
        waitFor(run, procedure == Procedure::ListTheFiles ? FolderText() : RunText(), false);
    run->answerOn(nullptr);
    if (waited == Waited::Closed) {
        // Closed after Cancel: the work holds all it uses and, told to stop, publishes
        // nothing. Joining it could wait for a mount that never answers.
        worker.detach();
        return;
    }
    worker.join();
    if (run->error)
        showError(*run->error);
}

void FrmAster::cmdFiles_Click() {
    runProcedure(Procedure::ListTheFiles);
}

void FrmAster::cmdText_Click() {
    runProcedure(Procedure::MakeTextFiles);
}

std::shared_ptr<FrmAster::FolderRead> FrmAster::startFolderRead(const std::string& folder) {
    auto read = std::make_shared<FolderRead>();
    read->folder = folder;
    // Nobody joins this thread: on a mount that does not answer it may never return. It
    // holds everything it uses.
    std::thread([read, procedures = m_procedures] {
        read->error = procedures->readSubfolders(read->folder, read->names,
                                                 [&work = *read](std::int64_t entriesRead) {
                                                     work.done = entriesRead;
                                                     return !work.cancelRequested;
                                                 });
        read->finish();
    }).detach();
    return read;
}

// Reads `folder` for the folder list while the window waits; a Cancel gives the read up.
std::optional<Error> FrmAster::readFolder(const std::string& folder,
                                          std::vector<std::string>& names) {
    const auto read = startFolderRead(folder);
    if (waitFor(read, FolderText(), true) != Waited::Finished)
        return Cancelled("Reading " + folder + " was given up.");
    if (read->error)
        return read->error;
    names = std::move(read->names);
    // The list shows another folder now: the first one's answer would come too late.
    dropFirstRead();
    return std::nullopt;
}

// The window's first folder is shown at once and read without waiting, so that the window
// opens even when the folder does not answer; input is taken meanwhile.
void FrmAster::openFirstFolder(const std::string& folder) {
    dropFirstRead();
    m_dirFolder->showFolder(folder, {});
    m_drvDrive->showDriveOf(folder);
    m_firstRead = startFolderRead(folder);
    m_firstReadWatch =
        std::make_unique<ProgressWatch>(this, m_firstRead, FolderText(), m_progressDelay);
    if (isBusy())
        m_firstReadWatch->pause();
    const FolderRead* const read = m_firstRead.get();
    // Queued: the watch that emits goes away with the read.
    connect(
        m_firstReadWatch.get(), &ProgressWatch::cancelled, this,
        [this, read] {
            if (m_firstRead.get() == read)
                endFirstRead(true);
        },
        Qt::QueuedConnection);
    m_firstRead->notifyOnFinish(this, [this, read] {
        if (m_firstRead.get() == read)
            endFirstRead(false);
    });
}

void FrmAster::endFirstRead(bool cancelled) {
    const std::shared_ptr<FolderRead> read = m_firstRead;
    dropFirstRead();
    if (cancelled || read->error) {
        // As when it cannot be read: the root rather than nothing.
        if (read->folder != "/")
            openFirstFolder("/");
        return;
    }
    m_dirFolder->showFolder(read->folder, std::move(read->names));
}

void FrmAster::dropFirstRead() {
    if (!m_firstRead)
        return;
    m_firstRead->notifyOnFinish(nullptr, {});
    m_firstReadWatch.reset();
    m_firstRead.reset();
}

} // namespace aster
