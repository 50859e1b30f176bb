#include "fileio/fd_stream_buf.h"

#include "fileio/whole_file.h"

#include <cerrno>
#include <fcntl.h>
#include <cstring>
#include <unistd.h>

namespace aster {

FdStreamBuf::FdStreamBuf(int fd, std::size_t bufferSize, std::size_t writeBehind)
    : m_fd(fd), m_writeBehind(writeBehind), m_buffer(bufferSize) {
    setp(m_buffer.data(), m_buffer.data() + m_buffer.size());
}

bool FdStreamBuf::writeAll(const char* data, std::size_t size) {
    if (m_errno != 0)
        return false;
    m_errno = WriteAll(m_fd, std::string_view(data, size));
    if (m_errno != 0)
        return false;
    m_written += size;
    if (m_writeBehind > 0 && m_written - m_writingOut >= m_writeBehind) {
        // Only a hint: where the file system cannot, the final sync does it all.
        ::sync_file_range(m_fd, static_cast<off_t>(m_writingOut),
                          static_cast<off_t>(m_written - m_writingOut), SYNC_FILE_RANGE_WRITE);
        m_writingOut = m_written;
    }
    return true;
}

bool FdStreamBuf::flushBuffer() {
    const std::size_t pending = static_cast<std::size_t>(pptr() - pbase());
    const bool ok = writeAll(pbase(), pending);
    setp(m_buffer.data(), m_buffer.data() + m_buffer.size());
    return ok;
}

FdStreamBuf::int_type FdStreamBuf::overflow(int_type ch) {
    if (!flushBuffer())
        return traits_type::eof();
    if (!traits_type::eq_int_type(ch, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(ch);
        pbump(1);
    }
    return traits_type::not_eof(ch);
}

std::streamsize FdStreamBuf::xsputn(const char* s, std::streamsize n) {
    if (n <= 0)
        return 0; // an empty value may come as a null pointer, which memcpy must not see
    const auto size = static_cast<std::size_t>(n);
    const auto room = static_cast<std::size_t>(epptr() - pptr());
    if (size <= room) {
        std::memcpy(pptr(), s, size);
        pbump(static_cast<int>(size));
        return n;
    }
    if (!flushBuffer())
        return 0;
    if (size >= m_buffer.size() / 2)
        return writeAll(s, size) ? n : 0;
    std::memcpy(pptr(), s, size);
    pbump(static_cast<int>(size));
    return n;
}

int FdStreamBuf::sync() {
    return flushBuffer() ? 0 : -1;
}

} // namespace aster
