#include "app/task_state.h"

#include <QMetaObject>
#include <QObject>
#include <future>

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

void TaskState::answerOn(QObject* context) {
    const std::lock_guard lock(m_mutex);
    m_answering = context;
}

bool TaskState::answering() const {
    const std::lock_guard lock(m_mutex);
    return m_answering != nullptr;
}

// The call is posted, not sent blocking, so that no lock is held while the window's thread
// runs it. The worker waits for the posted call to be destroyed, which Qt does once it has
// run, or unrun when its context goes away.
void TaskState::callOnWindow(std::function<void()> call) {
    struct Answered {
        std::promise<void> promise;
        ~Answered() { promise.set_value(); }
    };
    auto answered = std::make_shared<Answered>();
    const std::future<void> done = answered->promise.get_future();
    {
        const std::lock_guard lock(m_mutex);
        if (m_answering == nullptr)
            return;
        QMetaObject::invokeMethod(
            m_answering,
            [this, answered, call = std::move(call)] {
                if (answering())
                    call();
            },
            Qt::QueuedConnection);
    }
    answered.reset();
    done.wait();
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
