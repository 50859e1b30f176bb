#include "list_reader.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace aster {

ListReader::~ListReader() {
    close();
}

void ListReader::close() {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

std::optional<Error> ListReader::open(const std::string& path) {
    m_path = path;
    // O_NONBLOCK: a FIFO named filelist.txt must not hang the window.
    m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (m_fd < 0)
        return SystemError(errno, path);
    struct stat info {};
    if (::fstat(m_fd, &info) != 0)
        return SystemError(errno, path);
    if (!S_ISREG(info.st_mode))
        return SystemError(S_ISDIR(info.st_mode) ? EISDIR : EINVAL, path);
    m_buffer.resize(m_chunkSize > 0 ? m_chunkSize : 1);
    return std::nullopt;
}

bool ListReader::fill() {
    if (m_pos < m_len)
        return true;
    m_pos = m_len = 0;
    while (!m_eof && !m_error) {
        const ssize_t got = ::read(m_fd, m_buffer.data(), m_buffer.size());
        if (got > 0) {
            m_len = static_cast<std::size_t>(got);
            return true;
        }
        if (got == 0)
            m_eof = true;
        else if (errno != EINTR)
            m_error = SystemError(errno, m_path);
    }
    return false;
}

bool ListReader::atEnd() {
    return !fill();
}

void ListReader::readLine(std::string& line) {
    line.clear();
    while (fill()) {
        const char* start = m_buffer.data() + m_pos;
        const std::size_t avail = m_len - m_pos;
        const auto* cr = static_cast<const char*>(std::memchr(start, '\r', avail));
        if (cr == nullptr) {
            line.append(start, avail);
            m_pos = m_len;
            continue;
        }
        line.append(start, static_cast<std::size_t>(cr - start));
        m_pos += static_cast<std::size_t>(cr - start) + 1;
        if (fill() && m_buffer[m_pos] == '\n')
            ++m_pos;
        return;
    }
}

} // namespace aster
