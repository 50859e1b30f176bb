#include "cli/progress_line.h"

#include <algorithm>

namespace aster {

namespace {

constexpr std::chrono::milliseconds kFirstAfter{1000};
constexpr std::chrono::milliseconds kInterval{100};

} // namespace

ProgressLine::ProgressLine(std::ostream& err, bool terminal, Now now)
    : m_err(err), m_terminal(terminal), m_now(std::move(now)) {
    if (m_terminal)
        m_next = m_now() + kFirstAfter;
}

ProgressLine::~ProgressLine() {
    clear();
}

void ProgressLine::files(std::int64_t done, std::int64_t total) {
    if (!due())
        return;
    std::string text = std::to_string(done);
    if (total > 0)
        text += " of " + std::to_string(total);
    show(text + " files");
}

void ProgressLine::entries(std::int64_t read) {
    if (due())
        show(std::to_string(read) + " entries read");
}

void ProgressLine::clear() {
    if (m_width == 0)
        return;
    std::string blank = "\r";
    blank.append(m_width, ' ');
    blank += '\r';
    m_err << blank << std::flush;
    m_width = 0;
}

bool ProgressLine::due() {
    if (!m_terminal)
        return false;
    const Clock::time_point now = m_now();
    if (now < m_next)
        return false;
    m_next = now + kInterval;
    return true;
}

void ProgressLine::show(const std::string& text) {
    // One write per update, so the line never shows half drawn.
    std::string line = "\raster: " + text;
    const std::size_t width = line.size() - 1;
    if (width < m_width)
        line.append(m_width - width, ' '); // covers the end of a longer earlier line
    m_err << line << std::flush;
    m_width = std::max(width, m_width);
}

} // namespace aster
