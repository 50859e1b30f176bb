#include "cli/stop_signals.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <ctime>

namespace aster {

namespace {

// A signal handler can reach nothing but a lock-free object of static storage, so this
// one word is the process-wide state StopSignals stands for: the first signal received
// and when, in microseconds of CLOCK_MONOTONIC, in one word so that a handler on another
// thread never sees the one without the other.
std::atomic<std::uint64_t> s_received{0};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);
constexpr int kSignalBits = 8;

// `timeout` sends its signal to the command and then to the process group, which holds the
// command too: two signals microseconds apart are one request. A person's second Ctrl+C
// comes far later than this.
constexpr std::uint64_t kOneRequestUs = 100'000;

std::uint64_t NowUs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now); // safe in a signal handler
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000 +
           static_cast<std::uint64_t>(now.tv_nsec) / 1'000;
}

void Record(int signal) {
    const int savedErrno = errno;
    const std::uint64_t now = NowUs();
    std::uint64_t first = 0;
    const std::uint64_t mine = now << kSignalBits | static_cast<std::uint64_t>(signal);
    // Another thread's handler may have taken a clock reading later than this one's.
    if (!s_received.compare_exchange_strong(first, mine, std::memory_order_relaxed) &&
        now >= (first >> kSignalBits) + kOneRequestUs) {
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
    Install(SIGINT, m_previousInterrupt);
    Install(SIGTERM, m_previousTerminate);
    // A terminal closed under a run stops it as Ctrl+C does, instead of ending it where
    // it stands.
    Install(SIGHUP, m_previousHangUp);
}

StopSignals::~StopSignals() {
    if (m_keptAfterwards)
        return;
    ::sigaction(SIGHUP, &m_previousHangUp, nullptr);
    ::sigaction(SIGTERM, &m_previousTerminate, nullptr);
    ::sigaction(SIGINT, &m_previousInterrupt, nullptr);
}

int StopSignals::received() const {
    const std::uint64_t received = s_received.load(std::memory_order_relaxed);
    return static_cast<int>(received & ((1u << kSignalBits) - 1));
}

} // namespace aster
