#include "fileio/held_ends.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <mutex>

namespace aster {

namespace {

constexpr std::array<int, 3> kEnds{SIGINT, SIGTERM, SIGHUP};

// What a handler may reach: objects of static storage, set before the handler is put in
// place and read only while it is.
struct Held {
    std::mutex mutex; // the holds' own, never taken by the handler
    int count = 0;
    std::array<struct sigaction, kEnds.size()> previous{};
    std::atomic<int> pendingEnd{0}; // the signal whose end waits for the last hold
};
Held s_held;

std::size_t IndexOf(int signal) {
    for (std::size_t i = 0; i < kEnds.size(); ++i)
        if (kEnds[i] == signal)
            return i;
    return 0;
}

struct sigaction HoldingAction();

// Hands the signal to the process's own handler; where that asks for the end (its action
// made the default and the signal raised again), the end is put off instead.
void OnSignalWhileHeld(int signal, siginfo_t* info, void* context) {
    const int savedErrno = errno;
    const struct sigaction& previous = s_held.previous[IndexOf(signal)];
    if (previous.sa_handler == SIG_DFL) {
        s_held.pendingEnd.store(signal);
    } else if (previous.sa_handler != SIG_IGN) {
        if ((previous.sa_flags & SA_SIGINFO) != 0)
            previous.sa_sigaction(signal, info, context);
        else
            previous.sa_handler(signal);
        struct sigaction now {};
        if (::sigaction(signal, nullptr, &now) == 0 && now.sa_handler == SIG_DFL) {
            s_held.pendingEnd.store(signal);
            // Ignoring a signal drops it where it waits: the one the handler raised.
            struct sigaction ignore {};
            ignore.sa_handler = SIG_IGN;
            ::sigaction(signal, &ignore, nullptr);
            const struct sigaction holding = HoldingAction();
            ::sigaction(signal, &holding, nullptr);
        }
    }
    errno = savedErrno;
}

struct sigaction HoldingAction() {
    struct sigaction action {};
    action.sa_sigaction = &OnSignalWhileHeld;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO | SA_RESTART; // a read under way goes on
    return action;
}

} // namespace

HoldEnds::HoldEnds() {
    const std::lock_guard<std::mutex> lock(s_held.mutex);
    if (s_held.count++ > 0)
        return;
    const struct sigaction holding = HoldingAction();
    for (std::size_t i = 0; i < kEnds.size(); ++i)
        ::sigaction(kEnds[i], &holding, &s_held.previous[i]);
}

HoldEnds::~HoldEnds() {
    const std::lock_guard<std::mutex> lock(s_held.mutex);
    if (--s_held.count > 0)
        return;
    for (std::size_t i = 0; i < kEnds.size(); ++i)
        ::sigaction(kEnds[i], &s_held.previous[i], nullptr);
    if (const int signal = s_held.pendingEnd.exchange(0); signal != 0) {
        struct sigaction ends {};
        ends.sa_handler = SIG_DFL;
        sigemptyset(&ends.sa_mask);
        ::sigaction(signal, &ends, nullptr);
        ::raise(signal);
    }
}

} // namespace aster
