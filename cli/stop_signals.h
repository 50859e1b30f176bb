#pragma once

#include <csignal>

namespace aster {

// While it lives, the first SIGINT, SIGTERM or SIGHUP does not end the process but is recorded, so
// that a command stops between files and leaves the files it had not finished as they
// were. A second one ends the process at once, unless it comes within a tenth of a second
// of the first: one request sent to the process and to its group arrives twice. A signal ignored
// before stays ignored, and the earlier handlers return when it goes, unless `keptAfterwards`: then
// a signal that comes after it, while the process finishes, is recorded too and ends nothing.
class StopSignals {
  public:
    explicit StopSignals(bool keptAfterwards = false);
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;
    ~StopSignals();

    // The signal received since construction, or 0.
    int received() const;
    // The exit status of a command that this signal stopped: 128 plus its number.
    static int ExitStatus(int signal) { return 128 + signal; }

  private:
    struct sigaction m_previousInterrupt {};
    struct sigaction m_previousTerminate {};
    struct sigaction m_previousHangUp {};
    bool m_keptAfterwards = false;
};

} // namespace aster
