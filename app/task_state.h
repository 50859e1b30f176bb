#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

class QObject;

namespace aster {

// What the window and the worker thread of one piece of work share. The worker may outlive
// the window's interest in it (a folder read stuck on a mount that does not answer), so
// the window holds it by shared pointer and, once it stops listening, the work's end
// reaches no widget.
class TaskState {
  public:
    virtual ~TaskState() = default;

    // Set by the window, read by the worker between two steps.
    std::atomic<bool> cancelRequested{false};
    // Set by the worker: how far it is, and of how much (0 when not known).
    std::atomic<std::int64_t> done{0};
    std::atomic<std::int64_t> total{0};

    // Window: `onFinished` runs on `context`'s thread once the work has finished (at once if
    // it has), unless `context` is gone by then. A null context stops all notice.
    void notifyOnFinish(QObject* context, std::function<void()> onFinished);
    // Worker, as its last step: the results it wrote are complete.
    void finish();
    bool isFinished() const;

    // Window: the object on whose thread the worker's calls run (callOnWindow). A null
    // context ends them: a call made later returns at once, and one still queued is
    // dropped. The window sets null before the context goes away.
    void answerOn(QObject* context);
    // Worker: runs `call` on the answering context's thread and waits until it has run,
    // or until it never will (no context, or the context stopped answering or is gone).
    void callOnWindow(std::function<void()> call);

  private:
    void post();
    bool answering() const;

    mutable std::mutex m_mutex;
    bool m_finished = false;
    QObject* m_context = nullptr;
    std::function<void()> m_onFinished;
    QObject* m_answering = nullptr;
};

} // namespace aster
