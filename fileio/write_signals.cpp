#include "fileio/write_signals.h"

#include <csignal>

namespace aster {

namespace {

void Ignore(int signal) {
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
}

} // namespace

void IgnoreWriteSignals() {
    Ignore(SIGPIPE);
    Ignore(SIGXFSZ);
}

} // namespace aster
