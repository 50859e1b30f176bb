#include "cli/stop_signals.h"

#include <atomic>

namespace aster {

namespace {

// A signal handler can reach nothing but a lock-free object of static storage, so this
// one flag is the process-wide state StopSignals stands for.
std::atomic<int> s_received{0};
static_assert(std::atomic<int>::is_always_lock_free);

void Record(int signal) {
    s_received.store(signal, std::memory_order_relaxed);
}

void Install(int signal, struct sigaction& previous) {
    // A signal ignored on entry (nohup, a background job) stays ignored.
    ::sigaction(signal, nullptr, &previous);
    if (previous.sa_handler == SIG_IGN)
        return;
    struct sigaction action {};
    action.sa_handler = &Record;
    sigemptyset(&action.sa_mask);
    // SA_RESTART keeps a read in progress from failing with EINTR; SA_RESETHAND lets a
    // second signal end a process that does not come to a stop.
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    ::sigaction(signal, &action, &previous);
}

} // namespace

StopSignals::StopSignals(bool keptAfterwards) : m_keptAfterwards(keptAfterwards) {
    s_received.store(0, std::memory_order_relaxed);
    Install(SIGINT, m_previousInterrupt);
    Install(SIGTERM, m_previousTerminate);
}

StopSignals::~StopSignals() {
    if (m_keptAfterwards)
        return;
    ::sigaction(SIGTERM, &m_previousTerminate, nullptr);
    ::sigaction(SIGINT, &m_previousInterrupt, nullptr);
}

int StopSignals::received() const {
    return s_received.load(std::memory_order_relaxed);
}

} // namespace aster
