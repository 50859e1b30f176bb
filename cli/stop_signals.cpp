#include "cli/stop_signals.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <ctime>

namespace aster {

namespace {

// A signal handler can reach nothing but a lock-free object of static storage, so this
// one flag is the process-wide state StopSignals stands for.
std::atomic<int> s_received{0};
std::atomic<std::int64_t> s_receivedAt{0}; // CLOCK_MONOTONIC, in nanoseconds
static_assert(std::atomic<int>::is_always_lock_free);
static_assert(std::atomic<std::int64_t>::is_always_lock_free);

// `timeout`, `kill -- -PGID` and some job runners send a signal to the process and then
// to its group, which holds the process too: two signals microseconds apart are one
// request. A person's second Ctrl+C comes far later than this.
constexpr std::int64_t kOneRequestNs = 100'000'000;

std::int64_t Now() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now); // safe in a signal handler
    return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

void Record(int signal) {
    const int savedErrno = errno;
    const std::int64_t now = Now();
    if (s_received.load(std::memory_order_relaxed) == 0) {
        s_receivedAt.store(now, std::memory_order_relaxed);
        s_received.store(signal, std::memory_order_relaxed);
    } else if (now - s_receivedAt.load(std::memory_order_relaxed) >= kOneRequestNs) {
        // A second request ends a process that does not come to a stop: the signal's own
        // action, once this handler returns.
        struct sigaction ends {};
        ends.sa_handler = SIG_DFL;
        sigemptyset(&ends.sa_mask);
        ::sigaction(signal, &ends, nullptr);
        ::raise(signal);
    }
    errno = savedErrno;
}

void Install(int signal, struct sigaction& previous) {
    // A signal ignored on entry (nohup, a background job) stays ignored.
    ::sigaction(signal, nullptr, &previous);
    if (previous.sa_handler == SIG_IGN)
        return;
    struct sigaction action {};
    action.sa_handler = &Record;
    sigemptyset(&action.sa_mask);
    // SA_RESTART keeps a read in progress from failing with EINTR.
    action.sa_flags = SA_RESTART;
    ::sigaction(signal, &action, &previous);
}

} // namespace

StopSignals::StopSignals(bool keptAfterwards) : m_keptAfterwards(keptAfterwards) {
    s_received.store(0, std::memory_order_relaxed);
    s_receivedAt.store(0, std::memory_order_relaxed);
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
