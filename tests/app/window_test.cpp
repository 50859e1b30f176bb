#include "app/drive_list.h"
#include "app/folder_list.h"
#include "app/frm_aster.h"
#include "app/hints.h"
#include "app/messenger.h"
#include "app/procedures.h"
#include "app/wrapping_buttons.h"

#include "tests/scene_samples.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QFontInfo>
#include <QLabel>
#include <QMessageBox>
#include <QProgressDialog>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

using namespace aster;
using namespace std::chrono_literals;

namespace {

class RecordingMessenger : public Messenger {
  public:
    QStringList prompts;
    QList<QThread*> threads;
    std::function<void()> whileOpen; // as if the user acted before closing the message
    void showMessage(QWidget*, const QString& prompt) override {
        prompts << prompt;
        threads << QThread::currentThread();
        if (whileOpen)
            whileOpen();
    }
};

// The disk's procedures, held until the test lets them go: a procedure before it starts
// (or until Cancel), a read of `heldFolder` entirely, as on a mount that does not answer.
class HeldProcedures : public Procedures {
  public:
    bool holdProcedures = false;
    bool deafToCancel = false; // held until released, as on a mount that does not answer
    std::string heldFolder;
    std::optional<Error> returned;
    std::atomic<bool> procedureReturned{false}; // `returned` is set
    std::atomic<bool> heldReadReturned{false};

    void release() {
        const std::lock_guard lock(m_mutex);
        m_released = true;
        m_wake.notify_all();
    }
    std::vector<std::thread::id> threads() {
        const std::lock_guard lock(m_mutex);
        return m_threads;
    }
    std::optional<Error> listTheFiles(ListingHost& host) override {
        wait([&] { return !holdProcedures || (!deafToCancel && host.cancelRequested()); });
        returned = m_disk.listTheFiles(host);
        procedureReturned = true;
        return returned;
    }
    std::optional<Error> makeTextFiles(CatalogueHost& host) override {
        wait([&] { return !holdProcedures || (!deafToCancel && host.cancelRequested()); });
        returned = m_disk.makeTextFiles(host);
        procedureReturned = true;
        return returned;
    }
    std::optional<Error> readSubfolders(const std::string& folder, std::vector<std::string>& names,
                                        const KeepReading& keepReading) override {
        wait([&] { return folder != heldFolder; }); // a stuck read never sees Cancel
        if (folder != heldFolder)
            return m_disk.readSubfolders(folder, names, keepReading);
        names = {"late"};
        heldReadReturned = true;
        return std::nullopt;
    }

  private:
    // The window's Cancel sets a flag nobody signals: it is looked at now and then.
    void wait(const std::function<bool()>& goOn) {
        std::unique_lock lock(m_mutex);
        m_threads.push_back(std::this_thread::get_id());
        while (!m_released && !goOn())
            m_wake.wait_for(lock, 5ms);
    }

    DiskProcedures m_disk;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_released = false;
    std::vector<std::thread::id> m_threads;
};

QProgressDialog* ShownProgressDialog(QWidget* window) {
    auto* dialog = window->findChild<QProgressDialog*>();
    return dialog != nullptr && dialog->isVisible() ? dialog : nullptr;
}

bool HasAccessibleChild(QWidget* widget, QAccessible::Role role, const QString& name = {}) {
    QAccessibleInterface* parent = QAccessible::queryAccessibleInterface(widget);
    for (int i = 0; i < parent->childCount(); ++i) {
        if (parent->child(i)->role() == role &&
            (name.isNull() || parent->child(i)->text(QAccessible::Name) == name))
            return true;
    }
    return false;
}

struct PaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

void WriteFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

QByteArray ReadFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

std::string Bytes(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

QString FromBytes(const std::string& bytes) {
    return QFile::decodeName(QByteArray::fromStdString(bytes));
}

} // namespace

class WindowTest : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<RecordingMessenger> m_messenger;
    std::unique_ptr<FrmAster> m_window;
    std::unique_ptr<QTemporaryDir> m_dir;

    template <typename T = QWidget> T* control(const char* name) {
        auto* widget = m_window->findChild<T*>(QString::fromLatin1(name));
        if (widget == nullptr)
            qFatal("no control %s", name);
        return widget;
    }
    QString folder() const { return m_dir->path(); }

  private slots:
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_messenger = std::make_unique<RecordingMessenger>();
        m_window = std::make_unique<FrmAster>(*m_messenger, std::vector<std::string>{"/"},
                                              Bytes(folder()));
    }
    void cleanup() {
        m_window.reset();
        m_messenger.reset();
        m_dir.reset();
    }

    void controls_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QRect>("twips");
        // left, top, width, height in twips (15 to a pixel at 96 dots per inch)
        const auto row = [](const char* name, const char* kind, const char* text, int l, int t,
                            int w, int h) {
            QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(kind)
                                << QString::fromUtf8(text) << QRect(l, t, w, h);
        };
        row("Label1", "QLabel", "1) Select Folder with ASTER scenes", 120, 120, 1095, 735);
        row("drvDrive", "QComboBox", "", 1320, 240, 4095, 315);
        row("dirFolder", "QListWidget", "", 1320, 720, 4095, 990);
        row("Label2", "QLabel", "2) Generate a list of files in that folder ", 480, 1800, 3495,
            375);
        row("cmdFiles", "QPushButton", "Get List of Files", 720, 2160, 1695, 615);
        row("lblList", "QLabel", "Make list of all Aster files in the folder chosen above", 2520,
            2280, 4335, 255);
        row("Label3", "QLabel",
            "3) Select which text file to make. If you want polygons, the generate format can be "
            "used in ArcInfo or ArcView with an extention.",
            0, 2880, 1695, 1215);
        row("Label4", "QLabel",
            "Selecting this will check for blank metadata files while you make the text file", 5640,
            3000, 1215, 975);
        row("cmdText", "QPushButton", "Create Text File of ASTER Data", 1800, 3240, 1695, 735);
        row("optBlanks", "QRadioButton", "Check for Blanks", 4320, 3240, 1095, 495);
        row("optPolys", "QRadioButton", "Option1", 1080, 4080, 255, 375);
        row("lblGenerate", "QLabel",
            "Make a text file to generate polygons from corner points in ASTER data files in "
            "folder specified above",
            1440, 4080, 4335, 495);
        row("optSpread", "QRadioButton", "Option2", 1080, 4680, 255, 375);
        row("lblSpread", "QLabel",
            "Make a text file with filename, date, time, and corner points for ASTER data files "
            "in Folder listed above ",
            1320, 4680, 4335, 495);
    }

    void controls() {
        QFETCH(QString, name);
        QFETCH(QString, kind);
        QFETCH(QString, text);
        QFETCH(QRect, twips);
        QWidget* widget = control(name.toLatin1().constData());
        QVERIFY2(widget->inherits(kind.toLatin1().constData()), qPrintable(kind));
        QCOMPARE(widget->parentWidget(), m_window.get());
        QCOMPARE(widget->geometry(),
                 QRect(twips.x() / 15, twips.y() / 15, twips.width() / 15, twips.height() / 15));
        // Screen readers and tests from outside see the same box.
        m_window->show();
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(widget);
        QVERIFY(accessible != nullptr);
        QCOMPARE(accessible->rect(), QRect(widget->mapToGlobal(QPoint(0, 0)), widget->size()));
        if (auto* label = qobject_cast<QLabel*>(widget)) {
            QCOMPARE(label->text(), text);
            QCOMPARE(label->accessibleName(), text);
            QVERIFY(label->wordWrap());
            QCOMPARE(label->focusPolicy(), Qt::NoFocus);
        }
        if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
            QCOMPARE(button->text(), text);
            QCOMPARE(button->accessibleName(), text);
            QVERIFY(!text.contains(QLatin1Char('&'))); // no access keys
        }
        QVERIFY(widget->isEnabled());
    }

    void window() {
        QCOMPARE(m_window->objectName(), QStringLiteral("frmAster"));
        QCOMPARE(m_window->windowTitle(), QStringLiteral("Aster"));
        QCOMPARE(m_window->size(), QSize(481, 365));
        QCOMPARE(m_window->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly).size(),
                 14);
        QVERIFY(m_window->layout() == nullptr);
        for (const char* name : {"cmdFiles", "cmdText"}) {
            auto* button = control<QPushButton>(name);
            QVERIFY(!button->isDefault());
            QVERIFY(!button->autoDefault());
        }
        QCOMPARE(control<QRadioButton>("optPolys")->accessibleDescription(),
                 control<QLabel>("lblGenerate")->text());
        QCOMPARE(control<QRadioButton>("optSpread")->accessibleDescription(),
                 control<QLabel>("lblSpread")->text());
        QCOMPARE(control<QRadioButton>("optBlanks")->accessibleDescription(),
                 control<QLabel>("Label4")->text());
        // Screen readers see a frame, and each control that shows no name of its own labelled
        // by the text beside it.
        QCOMPARE(QAccessible::queryAccessibleInterface(m_window.get())->role(),
                 QAccessible::Window);
        const std::pair<const char*, const char*> labelled[] = {
            {"drvDrive", "Label1"}, {"optPolys", "lblGenerate"}, {"optSpread", "lblSpread"}};
        for (const auto& [name, label] : labelled) {
            const auto relations =
                QAccessible::queryAccessibleInterface(control(name))->relations(QAccessible::Label);
            QCOMPARE(relations.size(), 1);
            QCOMPARE(relations.front().first->object(), control(label));
        }
        // Nothing moves when the window is resized.
        const QRect before = control("cmdText")->geometry();
        m_window->resize(800, 600);
        QCOMPARE(control("cmdText")->geometry(), before);
    }

    void textsFitTheirBoxes() {
        QCOMPARE(QFontInfo(m_window->font()).family(), QStringLiteral("Liberation Sans"));
        QVERIFY(QFontInfo(m_window->font()).pointSizeF() >= 7.0);
        const auto fits = [](const QWidget* widget, const QRect& box, int flags,
                             const QString& text) {
            const QRect needed = widget->fontMetrics().boundingRect(box, flags, text);
            if (needed.width() > box.width() || needed.height() > box.height())
                qWarning() << widget->objectName() << "needs" << needed << "in" << box;
            return box.contains(needed);
        };
        for (QLabel* label : m_window->findChildren<QLabel*>()) {
            QVERIFY2(fits(label, label->contentsRect(), int(label->alignment()) | Qt::TextWordWrap,
                          label->text()),
                     qPrintable(label->objectName()));
        }
        for (const char* name : {"cmdFiles", "cmdText"}) {
            auto* button = control<WrappingButton>(name);
            QVERIFY2(
                fits(button, button->captionRect(), WrappingButton::CaptionFlags, button->text()),
                name);
        }
        auto* blanks = control<WrappingRadioButton>("optBlanks");
        QVERIFY(
            fits(blanks, blanks->captionRect(), WrappingRadioButton::CaptionFlags, blanks->text()));
        // The two style buttons are only as wide as their mark: their captions do not show.
        for (const char* name : {"optPolys", "optSpread"}) {
            auto* option = control<WrappingRadioButton>(name);
            QVERIFY2(!fits(option, option->captionRect(), WrappingRadioButton::CaptionFlags,
                           option->text()),
                     name);
        }
    }

    void initialStateAndFocus() {
        for (const char* name : {"optBlanks", "optPolys", "optSpread"})
            QVERIFY2(!control<QRadioButton>(name)->isChecked(), name);
        QCOMPARE(control<FolderList>("dirFolder")->path(), Bytes(folder()));
        m_window->show();
        QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
        QCOMPARE(QApplication::focusWidget(), control("cmdText"));

        QStringList order;
        for (int i = 0; i < 7; ++i) {
            order << QApplication::focusWidget()->objectName();
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        }
        QCOMPARE(order, (QStringList{"cmdText", "cmdFiles", "dirFolder", "drvDrive", "optPolys",
                                     "optSpread", "optBlanks"}));
        QCOMPARE(QApplication::focusWidget(), control("cmdText")); // round again
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
        QCOMPARE(QApplication::focusWidget(), control("optBlanks"));
    }

    void optionGroups() {
        auto* polys = control<QRadioButton>("optPolys");
        auto* spread = control<QRadioButton>("optSpread");
        auto* blanks = control<QRadioButton>("optBlanks");
        QTest::mouseClick(polys, Qt::LeftButton);
        QVERIFY(polys->isChecked() && !spread->isChecked() && !blanks->isChecked());
        // Anywhere in the button's box counts, not only on the mark or the caption.
        QTest::mouseClick(blanks, Qt::LeftButton, {}, QPoint(70, 30));
        QVERIFY(polys->isChecked() && blanks->isChecked());
        QTest::mouseClick(spread, Qt::LeftButton);
        QVERIFY(!polys->isChecked() && spread->isChecked() && blanks->isChecked());
        // A second click never clears a selection.
        QTest::mouseClick(blanks, Qt::LeftButton);
        QTest::mouseClick(spread, Qt::LeftButton);
        QVERIFY(spread->isChecked() && blanks->isChecked());
    }

    void threeStepsOnAFolder() {
        WriteFile(folder() + "/a.met", QByteArray::fromStdString(test::ExampleScene()));
        WriteFile(folder() + "/blank.met", "");
        WriteFile(folder() + "/<b>x.met", "not metadata");

        QTest::mouseClick(control("cmdFiles"), Qt::LeftButton);
        QCOMPARE(ReadFile(folder() + "/filelist.txt"),
                 QByteArray("<b>x.met\r\na.met\r\nblank.met\r\n"));
        QVERIFY(m_messenger->prompts.isEmpty());

        // Without a style the run makes nothing, and an earlier file stays.
        WriteFile(folder() + "/table.txt", "earlier");
        QTest::mouseClick(control("cmdText"), Qt::LeftButton);
        QCOMPARE(m_messenger->prompts, QStringList{"Choose an option for text file style."});
        QCOMPARE(ReadFile(folder() + "/table.txt"), QByteArray("earlier"));
        QVERIFY(!QFile::exists(folder() + "/polys.txt"));

        m_messenger->prompts.clear();
        QTest::mouseClick(control("optBlanks"), Qt::LeftButton);
        QTest::mouseClick(control("optPolys"), Qt::LeftButton);
        QTest::mouseClick(control("cmdText"), Qt::LeftButton);
        QCOMPARE(m_messenger->prompts,
                 (QStringList{folder() + "/<b>x.met", folder() + "/blank.met"}));
        const QByteArray empty = ",\r\n,\r\n,\r\n,\r\n,\r\nEnd\r\n";
        QCOMPARE(ReadFile(folder() + "/polys.txt"),
                 " 1 ," + empty +
                     " 2 ,-118.1,34.1\r\n-118.1,34.1\r\n -117.4, 34.0\r\n"
                     " -117.6, 33.4\r\n -118.3, 33.5\r\nEnd\r\n" +
                     " 3 ," + empty + "End\r\n");
        QCOMPARE(ReadFile(folder() + "/table.txt"), QByteArray());

        m_messenger->prompts.clear();
        QTest::mouseClick(control("optSpread"), Qt::LeftButton);
        QTest::mouseClick(control("cmdText"), Qt::LeftButton);
        QCOMPARE(m_messenger->prompts.size(), 2);
        QVERIFY(ReadFile(folder() + "/table.txt")
                    .startsWith(" 1 \t" + folder().toUtf8() + "/<b>x.met\t"));
        QCOMPARE(ReadFile(folder() + "/polys.txt"), QByteArray("End\r\n"));
        QVERIFY(QApplication::overrideCursor() == nullptr); // wait cursor gone after the run
    }

    void errorsAreShownAndTheWindowStays() {
        m_window->show();
        const QString gone = folder() + "/gone";
        QVERIFY(QDir(folder()).mkpath("gone/inner"));
        auto* list = control<FolderList>("dirFolder");
        QVERIFY(list->setPath(Bytes(gone)) == std::nullopt);
        QVERIFY(QDir(gone).removeRecursively());
        // A subfolder the list still shows, opened after it went.
        QListWidgetItem* inner = list->item(list->count() - 1);
        QCOMPARE(inner->text(), QString("inner"));
        list->setCurrentItem(inner);
        QTest::keyClick(list, Qt::Key_Return);
        QCOMPARE(m_messenger->prompts,
                 QStringList{"Error 2: No such file or directory: " + gone +
                             "/inner\nThe folder is no longer there: choose another folder."});
        m_messenger->prompts.clear();

        QTest::mouseClick(control("cmdText"), Qt::LeftButton);
        QCOMPARE(m_messenger->prompts,
                 QStringList{"Error 2: No such file or directory: " + gone +
                             "/filelist.txt\nThe folder is no longer there: choose another "
                             "folder."});
        QTest::mouseClick(control("cmdFiles"), Qt::LeftButton);
        QCOMPARE(m_messenger->prompts.last(),
                 "Error 2: No such file or directory: " + gone +
                     "/\nThe folder is no longer there: choose another folder.");
        QVERIFY(m_window->isVisible());
        QVERIFY(QApplication::overrideCursor() == nullptr);
    }

    // The advice under each kind of error names the window's buttons, never a command;
    // the texts the window has always shown stay as they were.
    void hintsByKind() {
        const std::pair<ErrorKind, std::string> worded[] = {
            {ErrorKind::ListMissing, "Make the list of files first with \"Get List of Files\"."},
            {ErrorKind::FolderGone, "The folder is no longer there: choose another folder."},
            {ErrorKind::LineTooLong, "Each line of the list names one file in the folder: make "
                                     "the list again with \"Get List of Files\"."},
            {ErrorKind::NotRegularFile,
             "The list must be an ordinary file: make it again with \"Get List of Files\"."},
        };
        for (const auto& [kind, hint] : worded)
            QCOMPARE(WindowHint(Error{1, "d", "the core's", kind}), hint);
        for (int kind = 0; kind <= int(ErrorKind::NoMemory); ++kind) { // the last kind
            const std::string hint = WindowHint(Error{1, "d", {}, ErrorKind(kind)});
            QVERIFY2(hint.find("aster") == std::string::npos && hint.find("--") == std::string::npos,
                     hint.c_str());
        }
        QCOMPARE(WindowHint(SystemError(EACCES, "/f")),
                 std::string("Choose a folder you are allowed to use, or ask for access to this "
                             "one."));
    }

    // Qt would end the program with an abort; the window's program says why in one line.
    void withoutADisplayTheProgramSaysSo() {
        QProcess program;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            environment.remove(QString::fromLatin1(name));
        program.setProcessEnvironment(environment);
        program.start(QStringLiteral(ASTER_WINDOW_PROGRAM), {});
        QVERIFY(program.waitForFinished(30000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 1);
        QCOMPARE(program.readAllStandardError(),
                 QByteArray("aster-window: no display to open the window on; the commands work "
                            "without one (aster --help).\n"));
    }

    void folderListOpensOnlyOnDoubleClickOrEnter() {
        QVERIFY(QDir(folder()).mkpath("sub/inner"));
        QVERIFY(QDir(folder()).mkpath(".hidden"));
        auto* list = control<FolderList>("dirFolder");
        QVERIFY(list->setPath(Bytes(folder())) == std::nullopt);
        const auto itemNamed = [list](const QString& text) -> QListWidgetItem* {
            const auto found = list->findItems(text, Qt::MatchExactly);
            return found.isEmpty() ? nullptr : found.first();
        };
        QVERIFY(itemNamed(".hidden") == nullptr);
        QListWidgetItem* sub = itemNamed("sub");
        QVERIFY(sub != nullptr);
        QCOMPARE(list->item(0)->text(), QStringLiteral("/"));

        // Highlighting with a click or the arrow keys leaves the path alone.
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(sub).center());
        QCOMPARE(list->currentItem(), sub);
        QCOMPARE(list->path(), Bytes(folder()));
        QTest::keyClick(list, Qt::Key_Up);
        QCOMPARE(list->path(), Bytes(folder()));

        // "Get List of Files" lists the open folder, not the highlighted one.
        QTest::mouseClick(control("cmdFiles"), Qt::LeftButton);
        QCOMPARE(ReadFile(folder() + "/filelist.txt"), QByteArray("sub\r\n"));

        sub = itemNamed("sub");
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {},
                           list->visualItemRect(sub).center());
        QCOMPARE(list->path(), Bytes(folder() + "/sub"));
        list->setCurrentItem(itemNamed("inner"));
        QTest::keyClick(list, Qt::Key_Return);
        QCOMPARE(list->path(), Bytes(folder() + "/sub/inner"));
        // An ancestor opens its folder again.
        list->setCurrentItem(itemNamed(QDir(folder()).dirName()));
        QTest::keyClick(list, Qt::Key_Enter);
        QCOMPARE(list->path(), Bytes(folder()));
    }

    void unreadableDriveKeepsTheFolder() {
        m_window = std::make_unique<FrmAster>(
            *m_messenger, std::vector<std::string>{"/", "/no-such-drive"}, Bytes(folder()));
        auto* drives = control<DriveList>("drvDrive");
        QCOMPARE(drives->drive(), std::string("/"));
        drives->setCurrentIndex(1); // as the user picking it
        emit drives->activated(1);
        QCOMPARE(m_messenger->prompts,
                 QStringList{"Error 2: No such file or directory: /no-such-drive"});
        QCOMPARE(control<FolderList>("dirFolder")->path(), Bytes(folder()));
        QCOMPARE(drives->drive(), std::string("/"));
        QCOMPARE(drives->currentIndex(), 0);
    }

    void driveChangeOpensTheDrivesCurrentFolder() {
        const std::string drive = Bytes(folder());
        const std::string inside = Bytes(folder() + "/work");
        QVERIFY(QDir(folder()).mkdir("work"));
        m_window =
            std::make_unique<FrmAster>(*m_messenger, std::vector<std::string>{"/", drive}, inside);
        auto* drives = control<DriveList>("drvDrive");
        auto* list = control<FolderList>("dirFolder");
        QCOMPARE(drives->drive(), drive);
        drives->setCurrentIndex(0);
        emit drives->activated(0);
        QCOMPARE(list->path(), std::string("/"));
        drives->setCurrentIndex(1);
        emit drives->activated(1);
        QCOMPARE(list->path(), inside); // the working folder is on that drive
        QVERIFY(m_messenger->prompts.isEmpty());
    }

    // The window over `procedures`, shown, with its own folder read and progress shown at once.
    void openWindow(std::shared_ptr<Procedures> procedures) {
        QVERIFY(QDir(folder()).mkpath("sub"));
        m_window = std::make_unique<FrmAster>(*m_messenger, std::move(procedures),
                                              std::vector<std::string>{"/"}, Bytes(folder()));
        QTRY_VERIFY(
            !control<FolderList>("dirFolder")->findItems("sub", Qt::MatchExactly).isEmpty());
        m_window->setProgressDelay(0ms);
        m_window->show();
        QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    }

    void slowWorkShowsProgressAndCancelChangesNothing_data() {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("option");
        QTest::addColumn<QString>("progress");
        QTest::newRow("listing") << "cmdFiles"
                                 << "optBlanks"
                                 << "Reading the folder...\n0 entries read";
        QTest::newRow("table") << "cmdText"
                               << "optSpread"
                               << "Reading the listed files...\n0 listed files done";
        QTest::newRow("polygons") << "cmdText"
                                  << "optPolys"
                                  << "Reading the listed files...\n0 listed files done";
    }

    // The work is held until Cancel: the window shows the dialog and still paints, and the
    // procedure stops after its first file at the latest.
    void slowWorkShowsProgressAndCancelChangesNothing() {
        QFETCH(QString, button);
        QFETCH(QString, option);
        QFETCH(QString, progress);
        auto procedures = std::make_shared<HeldProcedures>();
        procedures->holdProcedures = true;
        openWindow(procedures);
        WriteFile(folder() + "/filelist.txt", "a.met\r\nb.met\r\n");
        WriteFile(folder() + "/table.txt", "earlier table\r\n");
        WriteFile(folder() + "/polys.txt", "earlier polys\r\nEnd\r\n");
        QTest::mouseClick(control(option.toLatin1().constData()), Qt::LeftButton);
        PaintCounter counter;
        m_window->installEventFilter(&counter);
        QTimer::singleShot(0, m_window.get(), [&] {
            // Whatever a check finds, the work goes on and ends: the test cannot hang on it.
            const auto letGo = qScopeGuard([&] { procedures->release(); });
            QProgressDialog* dialog = nullptr;
            QTRY_VERIFY((dialog = ShownProgressDialog(m_window.get())) != nullptr);
            QCOMPARE(QApplication::activeModalWidget(), dialog);
            QCOMPARE(dialog->labelText(), progress);
            QVERIFY(HasAccessibleChild(dialog, QAccessible::ProgressBar,
                                       progress.section(QLatin1Char('\n'), 0, 0)));
            QVERIFY(HasAccessibleChild(dialog, QAccessible::PushButton, "Cancel"));
            QCOMPARE(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
            const int paints = counter.paints;
            m_window->update();
            QTRY_VERIFY(counter.paints > paints);
            QTest::mouseClick(dialog->findChild<QPushButton*>(), Qt::LeftButton);
            // Until the work has stopped, the dialog stays and says so.
            QVERIFY(dialog->isVisible());
            QVERIFY(dialog->labelText().endsWith(QStringLiteral("\nStopping...")));
            QVERIFY(!dialog->findChild<QPushButton*>()->isEnabled());
        });
        QTest::mouseClick(control(button.toLatin1().constData()), Qt::LeftButton);

        QVERIFY(procedures->returned && IsCancellation(*procedures->returned));
        QCOMPARE(m_messenger->prompts, QStringList{FromBytes(procedures->returned->description)});
        QCOMPARE(ReadFile(folder() + "/filelist.txt"), QByteArray("a.met\r\nb.met\r\n"));
        QCOMPARE(ReadFile(folder() + "/table.txt") + ReadFile(folder() + "/polys.txt"),
                 QByteArray("earlier table\r\nearlier polys\r\nEnd\r\n"));
        QVERIFY(m_window->findChild<QProgressDialog*>() == nullptr);
        QVERIFY(QApplication::overrideCursor() == nullptr);
    }

    void closingAfterCancelLeavesStuckWorkBehind_data() {
        slowWorkShowsProgressAndCancelChangesNothing_data();
    }

    // Work stuck on a mount that does not answer, even to Cancel. Before Cancel the window
    // refuses to close; after it, nothing holds the window, it closes at once and the
    // application quits while the work is still stuck. The window goes without waiting for
    // the work, and the work, when it returns at last, publishes nothing.
    void closingAfterCancelLeavesStuckWorkBehind() {
        QFETCH(QString, button);
        QFETCH(QString, option);
        auto procedures = std::make_shared<HeldProcedures>();
        procedures->holdProcedures = true;
        procedures->deafToCancel = true;
        const auto letGo = qScopeGuard([&] { procedures->release(); });
        openWindow(procedures);
        WriteFile(folder() + "/filelist.txt", "a.met\r\nb.met\r\n");
        WriteFile(folder() + "/table.txt", "earlier table\r\n");
        WriteFile(folder() + "/polys.txt", "earlier polys\r\nEnd\r\n");
        const QStringList entriesBefore = QDir(folder()).entryList(QDir::AllEntries | QDir::Hidden);
        QTest::mouseClick(control(option.toLatin1().constData()), Qt::LeftButton);

        bool clickReturned = false;
        bool closeAccepted = false;
        QTimer::singleShot(0, m_window.get(), [&] {
            QTest::mouseClick(control(button.toLatin1().constData()), Qt::LeftButton);
            clickReturned = true;
        });
        QTimer::singleShot(0, m_window.get(), [&] {
            QProgressDialog* dialog = nullptr;
            QTRY_VERIFY((dialog = ShownProgressDialog(m_window.get())) != nullptr);
            QVERIFY(!m_window->close());
            QVERIFY(m_window->isVisible());
            QTest::mouseClick(dialog->findChild<QPushButton*>(), Qt::LeftButton);
            QVERIFY(dialog->isVisible());
            QVERIFY(dialog->labelText().endsWith(QStringLiteral("\nStopping...")));
            // The window system's close reaches the window now.
            QVERIFY(QGuiApplication::modalWindow() == nullptr);
            closeAccepted = m_window->close();
        });
        QTimer deadline; // should the application not quit, the test fails rather than hangs
        deadline.setSingleShot(true);
        connect(&deadline, &QTimer::timeout, [&] {
            procedures->release();
            QCoreApplication::exit(1);
        });
        deadline.start(60s);
        QCOMPARE(QApplication::exec(), 0);
        QVERIFY(closeAccepted);
        QVERIFY(clickReturned);
        QVERIFY(!m_window->isVisible());
        QVERIFY(!procedures->procedureReturned);
        QVERIFY(m_messenger->prompts.isEmpty());
        QVERIFY(QApplication::overrideCursor() == nullptr);
        m_window.reset(); // with the work still stuck

        procedures->release();
        QTRY_VERIFY(procedures->procedureReturned);
        QVERIFY(procedures->returned && IsCancellation(*procedures->returned));
        QCOMPARE(ReadFile(folder() + "/filelist.txt"), QByteArray("a.met\r\nb.met\r\n"));
        QCOMPARE(ReadFile(folder() + "/table.txt") + ReadFile(folder() + "/polys.txt"),
                 QByteArray("earlier table\r\nearlier polys\r\nEnd\r\n"));
        QCOMPARE(QDir(folder()).entryList(QDir::AllEntries | QDir::Hidden), entriesBefore);
    }

    // Blank-check messages come from the worker in list order, each shown by the window's
    // thread while the run waits; the window takes no input meanwhile.
    void blankMessagesInListOrderWhileTheRunWaits() {
        auto procedures = std::make_shared<HeldProcedures>();
        openWindow(procedures);
        WriteFile(folder() + "/filelist.txt", "z.met\r\nsub\r\nmissing.met\r\n");
        QTest::mouseClick(control("optBlanks"), Qt::LeftButton);
        QTest::mouseClick(control("optSpread"), Qt::LeftButton);
        auto* polys = control<QRadioButton>("optPolys");
        m_messenger->whileOpen = [&] { // through the window system, as a user's click comes
            QTest::mouseClick(m_window->windowHandle(), Qt::LeftButton, {},
                              polys->mapTo(m_window.get(), QPoint(5, 5)));
        };
        QTest::mouseClick(control("cmdText"), Qt::LeftButton);
        QCOMPARE(m_messenger->prompts,
                 (QStringList{folder() + "/z.met", folder() + "/sub", folder() + "/missing.met"}));
        QCOMPARE(m_messenger->threads, QList<QThread*>(3, QThread::currentThread()));
        QVERIFY(procedures->threads().back() != std::this_thread::get_id());
        QVERIFY(!polys->isChecked());
        QVERIFY(QApplication::focusWidget() != polys);
    }

    void folderThatHangsIsGivenUpOnCancel_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("window's own folder") << "own";
        QTest::newRow("double click") << "double click";
        QTest::newRow("Enter") << "Enter";
        QTest::newRow("drive change") << "drive change";
    }

    // A folder on a mount that does not answer: the window opens and keeps running, Cancel
    // gives the read up (the window's own folder falls back to the root) and the late
    // answer changes nothing. No folder is read on the window's thread.
    void folderThatHangsIsGivenUpOnCancel() {
        QFETCH(QString, how);
        QVERIFY(QDir(folder()).mkdir("stuck"));
        const std::string stuck = Bytes(folder() + "/stuck");
        auto procedures = std::make_shared<HeldProcedures>();
        procedures->heldFolder = how == "own" ? Bytes(folder()) : stuck;
        const auto letGo = qScopeGuard([&] { procedures->release(); });
        bool cancelled = false;
        // Runs in the window's event loop while it waits: the window is not frozen.
        const auto cancelWhenShown = [&] {
            const auto answerOnFailure = qScopeGuard([&] {
                if (!cancelled)
                    procedures->release();
            });
            QProgressDialog* dialog = nullptr;
            QTRY_VERIFY((dialog = ShownProgressDialog(m_window.get())) != nullptr);
            QCOMPARE(dialog->labelText(), QStringLiteral("Reading the folder...\n0 entries read"));
            cancelled = true;
            QTest::mouseClick(dialog->findChild<QPushButton*>(), Qt::LeftButton);
        };
        m_window = std::make_unique<FrmAster>(
            *m_messenger, procedures, std::vector<std::string>{"/", stuck}, Bytes(folder()));
        m_window->setProgressDelay(0ms);
        auto* list = control<FolderList>("dirFolder");
        QCOMPARE(list->path(), Bytes(folder())); // shown at once, read later
        m_window->show();
        if (how != "own")
            QTRY_COMPARE(list->findItems("stuck", Qt::MatchExactly).size(), 1);
        const int rows = list->count();
        QTimer::singleShot(0, cancelWhenShown);
        const QPoint stuckEntry = list->visualItemRect(list->item(rows - 1)).center();
        if (how == "double click") {
            // A user's double click starts with a press; the test's sends only the second.
            QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, stuckEntry);
            QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, stuckEntry);
        } else if (how == "Enter") {
            list->setCurrentRow(rows - 1);
            QTest::keyClick(list, Qt::Key_Return);
        } else if (how == "drive change") {
            control<DriveList>("drvDrive")->setCurrentIndex(1); // as the user picking it
            emit control<DriveList>("drvDrive")->activated(1);
        }
        QTRY_VERIFY(cancelled);
        const std::string expected = how == "own" ? "/" : Bytes(folder());
        QTRY_COMPARE(list->path(), expected);
        QVERIFY(how == "own" || list->count() == rows);
        QCOMPARE(control<DriveList>("drvDrive")->drive(), std::string("/"));

        procedures->release();
        QTRY_VERIFY(procedures->heldReadReturned);
        QCoreApplication::processEvents();
        QCOMPARE(list->path(), expected);
        QVERIFY(list->findItems("late", Qt::MatchExactly).isEmpty());
        QVERIFY(m_messenger->prompts.isEmpty());
        for (const std::thread::id thread : procedures->threads())
            QVERIFY(thread != std::this_thread::get_id());
    }

    void realMessageBox() {
        m_window->show();
        MessageBoxMessenger messenger;
        QString title, text;
        int textFormat = -1;
        QMessageBox::Icon icon = QMessageBox::Critical;
        QList<QAbstractButton*> buttons;
        bool modal = false;
        QWidget* owner = nullptr;
        QTimer::singleShot(0, [&] {
            // Closed whatever a check finds: a failure must not leave the test waiting on it.
            const auto close = qScopeGuard([] {
                if (auto* open = qobject_cast<QDialog*>(QApplication::activeModalWidget()))
                    open->done(0);
            });
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(box != nullptr);
            title = box->windowTitle();
            text = box->text();
            textFormat = box->textFormat();
            icon = box->icon();
            buttons = box->buttons();
            modal = box->isModal();
            owner = box->parentWidget();
            QCOMPARE(box->standardButtons(), QMessageBox::Ok);
            QVERIFY(box->button(QMessageBox::Ok)->icon().isNull());
            QCOMPARE(QApplication::overrideCursor()->shape(), Qt::ArrowCursor);
            box->button(QMessageBox::Ok)->click();
        });
        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
        messenger.showMessage(m_window.get(), "/data//<b>x</b>.met");
        QCOMPARE(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
        QGuiApplication::restoreOverrideCursor();
        QCOMPARE(title, QStringLiteral("Aster"));
        QCOMPARE(text, QStringLiteral("/data//<b>x</b>.met"));
        QCOMPARE(textFormat, int(Qt::PlainText));
        QCOMPARE(icon, QMessageBox::NoIcon);
        QCOMPARE(buttons.size(), 1);
        QVERIFY(modal);
        QCOMPARE(owner, m_window.get());
    }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
