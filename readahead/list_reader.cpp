#include "readahead/list_reader.h"

#include "fileio/folder.h"
#include "fileio/utf8.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace aster {

void ExplainMissingList(Error& error, const std::string& folderPrefix) {
    if (error.code != ENOENT && error.code != ENOTDIR)
        return;
    struct stat info {};
    const std::string folder(FolderOfPrefix(folderPrefix));
    const bool there = ::stat(folder.c_str(), &info) == 0;
    error.kind = there && S_ISDIR(info.st_mode) ? ErrorKind::ListMissing : ErrorKind::FolderGone;
    // A file named as the folder: the list inside it is not what is wrong.
    if (there && !S_ISDIR(info.st_mode))
        error = Error{ENOTDIR, "Not a folder: " + folder, {}, ErrorKind::FolderGone};
}

namespace {

bool IsSpecialFile(const struct stat& info) {
    return !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode);
}

// Reading a device or a FIFO would never end, or end with nothing; a socket cannot be
// opened at all.
Error NotRegularFile(const std::string& path) {
    return Error{EINVAL, "Not a regular file: " + path, {}, ErrorKind::NotRegularFile};
}

} // namespace

ListReader::~ListReader() = default;

void ListReader::close() {
    m_fd.reset();
}

std::optional<Error> ListReader::open(const std::string& path) {
    *this = ListReader(m_chunkSize, m_lineFeedEnds);
    m_path = path;
    // Looked at before it is opened: opening a device may do something of its own (a tape
    // rewinds).
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && IsSpecialFile(info))
        return NotRegularFile(path);
    // O_NONBLOCK: a FIFO put at the name since must not hang the window.
    m_fd.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!m_fd)
        return SystemError(errno, path);
    if (::fstat(m_fd.get(), &info) != 0)
        return SystemError(errno, path);
    if (S_ISDIR(info.st_mode))
        return SystemError(EISDIR, path);
    if (IsSpecialFile(info))
        return NotRegularFile(path);
    m_buffer.resize(m_chunkSize > 0 ? m_chunkSize : 1);
    return std::nullopt;
}

bool ListReader::fill() {
    if (m_pos < m_len)
        return true;
    m_pos = m_len = 0;
    while (!m_eof && !m_error) {
        const ssize_t got = ::read(m_fd.get(), m_buffer.data(), m_buffer.size());
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

// The first line end in the bytes, or null.
const char* ListReader::lineEnd(const char* start, std::size_t size) const {
    const auto* cr = static_cast<const char*>(std::memchr(start, '\r', size));
    if (!m_lineFeedEnds)
        return cr;
    const std::size_t before = cr != nullptr ? static_cast<std::size_t>(cr - start) : size;
    const auto* lf = static_cast<const char*>(std::memchr(start, '\n', before));
    return lf != nullptr ? lf : cr;
}

bool ListReader::atEnd() {
    return m_error.has_value() || !fill();
}

void ListReader::readLine(std::string& line) {
    line.clear();
    ++m_lineNumber;
    while (fill()) {
        const char* start = m_buffer.data() + m_pos;
        const std::size_t avail = m_len - m_pos;
        const char* end = lineEnd(start, avail);
        const std::size_t length = end != nullptr ? static_cast<std::size_t>(end - start) : avail;
        if (line.size() + length > kMaxLineBytes) {
            m_error = Error{ENAMETOOLONG,
                            "Line " + std::to_string(m_lineNumber) + " of " + m_path +
                                " is longer than " + std::to_string(kMaxLineBytes) + " bytes",
                            {},
                            ErrorKind::LineTooLong};
            line.clear();
            return;
        }
        line.append(start, length);
        m_pos += length;
        if (end == nullptr)
            continue;
        ++m_pos;
        if (*end == '\r' && fill() && m_buffer[m_pos] == '\n')
            ++m_pos;
        break;
    }
    // Notepad starts a list it saves as UTF-8 with a byte order mark, which is no part of
    // the first name.
    if (m_lineNumber == 1 && line.starts_with(kUtf8ByteOrderMark))
        line.erase(0, kUtf8ByteOrderMark.size());
}

std::int64_t ListReader::countLines() const {
    if (!m_fd)
        return 0;
    std::vector<char> buffer(m_chunkSize > 0 ? m_chunkSize : 1);
    std::int64_t lines = 0;
    std::size_t lineBytes = 0;
    bool afterCr = false;
    off_t offset = 0;
    for (;;) {
        const ssize_t got = ::pread(m_fd.get(), buffer.data(), buffer.size(), offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        offset += got;
        const char* at = buffer.data();
        const char* const end = at + got;
        if (afterCr && *at == '\n')
            ++at;
        afterCr = false;
        while (at < end) {
            const char* found = lineEnd(at, static_cast<std::size_t>(end - at));
            if (found == nullptr) {
                lineBytes += static_cast<std::size_t>(end - at);
                break;
            }
            lineBytes += static_cast<std::size_t>(found - at);
            if (lineBytes > kMaxLineBytes)
                return lines + 1;
            ++lines;
            lineBytes = 0;
            at = found + 1;
            if (*found != '\r')
                continue;
            if (at == end)
                afterCr = true;
            else if (*at == '\n')
                ++at;
        }
        if (lineBytes > kMaxLineBytes)
            return lines + 1;
    }
    // Bytes after the last line end make one more line. An LF right after a CR at the
    // chunk's end was taken by the next chunk; a lone LF belongs to a line.
    return lines + (lineBytes > 0 ? 1 : 0);
}

} // namespace aster
