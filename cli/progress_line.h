#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>

namespace aster {

// A one-line count on a terminal, rewritten in place, for commands that take a while: it
// first shows after a second, then at most ten times a second, and is cleared before any
// other output to the same stream and when it goes.
class ProgressLine {
  public:
    using Clock = std::chrono::steady_clock;
    using Now = std::function<Clock::time_point()>;

    // Shows nothing unless `terminal`: a count in a file or a pipe would only be noise.
    ProgressLine(std::ostream& err, bool terminal, Now now = &Clock::now);
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;
    ~ProgressLine();

    // "<done> of <total> files", or "<done> files" while the total is unknown (0).
    void files(std::int64_t done, std::int64_t total);
    // "<read> entries read": a listing knows no total.
    void entries(std::int64_t read);
    // Takes the line away; the next count shows in its turn.
    void clear();

  private:
    bool due();
    void show(const std::string& text);

    std::ostream& m_err;
    bool m_terminal;
    Now m_now;
    Clock::time_point m_next;
    std::size_t m_width = 0; // columns the line on screen takes, 0 when there is none
};

} // namespace aster
