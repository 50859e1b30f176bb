#include "app/progress_watch.h"

#include "app/task_state.h"

#include <QProgressBar>
#include <QProgressDialog>
#include <QPushButton>
#include <algorithm>
#include <limits>

namespace aster {

namespace {

int ToBarValue(std::int64_t value) {
    return static_cast<int>(std::clamp<std::int64_t>(value, 0, std::numeric_limits<int>::max()));
}

} // namespace

ProgressWatch::ProgressWatch(QWidget* owner, std::shared_ptr<TaskState> work, ProgressText text,
                             std::chrono::milliseconds delay)
    : m_owner(owner), m_work(std::move(work)), m_text(std::move(text)) {
    m_showTimer.setSingleShot(true);
    m_showTimer.setInterval(delay);
    connect(&m_showTimer, &QTimer::timeout, this, &ProgressWatch::showDialog);
    m_refreshTimer.setInterval(std::chrono::milliseconds(100));
    connect(&m_refreshTimer, &QTimer::timeout, this, &ProgressWatch::refresh);
    m_showTimer.start();
}

ProgressWatch::~ProgressWatch() = default;

void ProgressWatch::setDelay(std::chrono::milliseconds delay) {
    m_showTimer.setInterval(delay);
    if (m_showTimer.isActive())
        m_showTimer.start();
}

void ProgressWatch::pause() {
    if (m_paused++ == 0)
        m_showTimer.stop();
}

void ProgressWatch::resume() {
    if (--m_paused == 0 && !m_dialog)
        m_showTimer.start();
}

void ProgressWatch::showDialog() {
    if (m_paused > 0 || m_dialog)
        return;
    m_dialog = std::make_unique<QProgressDialog>(m_owner);
    m_dialog->setObjectName(QStringLiteral("progressDialog"));
    m_dialog->setWindowTitle(QStringLiteral("Aster"));
    m_dialog->setWindowModality(Qt::ApplicationModal);
    // The watch alone decides when the dialog shows and closes.
    m_dialog->setAutoClose(false);
    m_dialog->setAutoReset(false);
    m_dialog->setMinimumDuration(0);
    m_dialog->setCancelButtonText(QStringLiteral("Cancel"));
    // The bar is set directly: the dialog's own setValue() would run the event loop.
    m_bar = new QProgressBar(m_dialog.get());
    m_bar->setObjectName(QStringLiteral("progressBar"));
    m_bar->setAccessibleName(m_text.doing); // what a screen reader says the bar measures
    m_dialog->setBar(m_bar);
    connect(m_dialog.get(), &QProgressDialog::canceled, this, &ProgressWatch::cancel);
    refresh();
    m_dialog->show();
    m_refreshTimer.start();
}

void ProgressWatch::refresh() {
    const std::int64_t done = m_work->done.load();
    const std::int64_t total = m_work->total.load();
    const QString state = m_cancelled ? QStringLiteral("Stopping...") : m_text.count(done, total);
    m_dialog->setLabelText(m_text.doing + QLatin1Char('\n') + state);
    if (total > 0) {
        m_bar->setRange(0, ToBarValue(total));
        m_bar->setValue(ToBarValue(done));
    } else {
        m_bar->setRange(0, 0); // busy
    }
}

void ProgressWatch::cancel() {
    if (m_cancelled)
        return;
    m_cancelled = true;
    m_work->cancelRequested = true;
    // The work may take a moment to stop; a second Cancel would mean nothing.
    if (auto* button = m_dialog->findChild<QPushButton*>())
        button->setEnabled(false);
    refresh();
    // QProgressDialog hides itself on Cancel; work stuck on a disk that does not answer
    // may take long to stop, and the user must see that it is stopping. Shown again without
    // holding the owner, whose window may now be closed.
    m_dialog->setWindowModality(Qt::NonModal);
    m_dialog->show();
    emit cancelled();
}

} // namespace aster
