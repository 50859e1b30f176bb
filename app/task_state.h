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

  private:
    void post();

    mutable std::mutex m_mutex;
    bool m_finished = false;
    QObject* m_context = nullptr;
    std::function<void()> m_onFinished;
};

} // namespace aster
