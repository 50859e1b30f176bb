#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

class QProgressBar;
class QProgressDialog;
class QWidget;

namespace aster {

class TaskState;

// What the progress dialog says about one kind of work: what is being done, and how far
// it is from the work's done and total counts (total 0: not known).
struct ProgressText {
    QString doing;
    std::function<QString(std::int64_t done, std::int64_t total)> count;
};

// Shows the progress of one piece of work in a modal dialog once the work has lasted
// `delay`: what is being done, how far it is (a busy bar while the total is not known),
// and Cancel, which asks the work to stop and emits cancelled(). The dialog closes with
// the watch.
class ProgressWatch : public QObject {
    Q_OBJECT

  public:
    ProgressWatch(QWidget* owner, std::shared_ptr<TaskState> work, ProgressText text,
                  std::chrono::milliseconds delay);
    ~ProgressWatch() override;

    void setDelay(std::chrono::milliseconds delay);
    // While a message box is open the dialog does not appear: shown after the box, it
    // would take the box's input. The delay starts again when the box has closed.
    void pause();
    void resume();

  signals:
    void cancelled();

  private:
    void showDialog();
    void refresh();
    void cancel();

    QWidget* m_owner;
    std::shared_ptr<TaskState> m_work;
    ProgressText m_text;
    QTimer m_showTimer;
    QTimer m_refreshTimer;
    std::unique_ptr<QProgressDialog> m_dialog;
    QProgressBar* m_bar = nullptr;
    int m_paused = 0;
    bool m_cancelled = false;
};

} // namespace aster
