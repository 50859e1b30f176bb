#include "app/task_state.h"

#include <QMetaObject>
#include <QObject>

namespace aster {

void TaskState::notifyOnFinish(QObject* context, std::function<void()> onFinished) {
    const std::lock_guard lock(m_mutex);
    m_context = context;
    m_onFinished = std::move(onFinished);
    if (m_finished)
        post();
}

void TaskState::finish() {
    const std::lock_guard lock(m_mutex);
    m_finished = true;
    post();
}

bool TaskState::isFinished() const {
    const std::lock_guard lock(m_mutex);
    return m_finished;
}

// Under the lock: the window clears the context under the same lock before the context
// goes away, and Qt drops a call posted to an object deleted before it runs.
void TaskState::post() {
    if (m_context == nullptr || !m_onFinished)
        return;
    QMetaObject::invokeMethod(m_context, std::exchange(m_onFinished, {}), Qt::QueuedConnection);
    m_context = nullptr;
}

} // namespace aster
