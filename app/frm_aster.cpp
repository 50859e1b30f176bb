#include "frm_aster.h"

#include "build_run.h"
#include "drive_list.h"
#include "drives.h"
#include "error.h"
#include "folder_list.h"
#include "folder_listing.h"
#include "messenger.h"
#include "wrapping_buttons.h"

#include <QApplication>
#include <QButtonGroup>
#include <QFile>
#include <QLabel>

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

} // namespace

QFont WindowFont() {
    QFont font(QStringLiteral("Liberation Sans"));
    font.setPixelSize(10);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

// What the listing and the build run read from the window while they run.
class FrmAster::Host : public CatalogueHost, public ListingHost {
  public:
    explicit Host(FrmAster& window) : m_window(window) {}

    std::string folderPath() override { return m_window.m_dirFolder->path(); }
    bool blanksSelected() override { return m_window.m_optBlanks->isChecked(); }
    bool polysSelected() override { return m_window.m_optPolys->isChecked(); }
    bool spreadSelected() override { return m_window.m_optSpread->isChecked(); }
    void showMessage(const std::string& prompt) override {
        m_window.m_messenger.showMessage(&m_window, FromBytes(prompt));
    }

  private:
    FrmAster& m_window;
};

FrmAster::FrmAster(Messenger& messenger, std::vector<std::string> drives,
                   const std::string& workingFolder, QWidget* parent)
    : QWidget(parent), m_messenger(messenger), m_workingFolder(NormalFolderPath(workingFolder)) {
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

    m_dirFolder = new FolderList(this);
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

    // Tab indexes 0 to 3, then 7 to 9; the labels in between never take the focus.
    QWidget::setTabOrder(m_cmdText, m_cmdFiles);
    QWidget::setTabOrder(m_cmdFiles, m_dirFolder);
    QWidget::setTabOrder(m_dirFolder, m_drvDrive);
    QWidget::setTabOrder(m_drvDrive, m_optPolys);
    QWidget::setTabOrder(m_optPolys, m_optSpread);
    QWidget::setTabOrder(m_optSpread, m_optBlanks);
    m_cmdText->setFocus();

    if (auto error = m_dirFolder->setPath(m_workingFolder)) {
        // The working folder cannot be read: fall back to the root rather than show nothing.
        m_dirFolder->setPath("/");
    }
    m_drvDrive->showDriveOf(m_dirFolder->path());

    connect(m_drvDrive, &DriveList::driveChosen, this, &FrmAster::drvDrive_Change);
    connect(m_cmdFiles, &QPushButton::clicked, this, &FrmAster::cmdFiles_Click);
    connect(m_cmdText, &QPushButton::clicked, this, &FrmAster::cmdText_Click);
    connect(m_dirFolder, &FolderList::openFailed, this, &FrmAster::showError);
}

FrmAster::~FrmAster() = default;

// Tab visits every control that takes the focus in tab-index order, each option button
// included: Qt would otherwise give the two style buttons a single stop between them.
bool FrmAster::focusNextPrevChild(bool next) {
    QWidget* const chain[] = {m_cmdText,  m_cmdFiles,  m_dirFolder, m_drvDrive,
                              m_optPolys, m_optSpread, m_optBlanks};
    const int count = static_cast<int>(std::size(chain));
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

void FrmAster::showError(const Error& error) {
    m_messenger.showMessage(this, FromBytes(FormatError(error)));
}

void FrmAster::drvDrive_Change() {
    const std::string drive = m_drvDrive->drive();
    const std::string folder = DriveCurrentFolder(m_drvDrive->drives(), drive, m_workingFolder);
    if (auto error = m_dirFolder->setPath(folder)) {
        m_drvDrive->showDriveOf(m_dirFolder->path());
        showError(*error);
    }
}

// Runs a procedure under the wait cursor, then reports its error, if any.
template <typename Procedure> void FrmAster::run(Procedure procedure) {
    Host host(*this);
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    const std::optional<Error> error = procedure(host);
    QGuiApplication::restoreOverrideCursor();
    if (error)
        showError(*error);
}

void FrmAster::cmdFiles_Click() {
    run([](Host& host) { return ListTheFiles(host); });
}

void FrmAster::cmdText_Click() {
    run([](Host& host) { return MakeTextFiles(host); });
}

} // namespace aster
