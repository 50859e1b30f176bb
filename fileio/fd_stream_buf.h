#pragma once

#include "fileio/error.h"

#include <cstdint>
#include <streambuf>
#include <vector>

namespace aster {

// A stream buffer over a POSIX file descriptor that remembers the errno of the first
// failed write, so that a full disk is reported with its cause instead of as a bare
// stream failure. Large writes bypass the buffer.
class FdStreamBuf : public std::streambuf {
  public:
    // With `writeBehind`, the system is asked to start writing out each that many bytes
    // as soon as they are written, for a file that is synced when it is done: its sync
    // then waits for the last of them only, not for the whole file at once.
    explicit FdStreamBuf(int fd, std::size_t bufferSize = 1 << 18, std::size_t writeBehind = 0);
    FdStreamBuf(const FdStreamBuf&) = delete;
    FdStreamBuf& operator=(const FdStreamBuf&) = delete;

    int failedErrno() const { return m_errno; }

  protected:
    int_type overflow(int_type ch) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;
    int sync() override;

  private:
    bool flushBuffer();
    bool writeAll(const char* data, std::size_t size);

    int m_fd;
    int m_errno = 0;
    std::size_t m_writeBehind;
    std::uint64_t m_written = 0; // bytes written since the start, at the file's start
    std::uint64_t m_writingOut = 0; // bytes the system was asked to write out
    std::vector<char> m_buffer;
};

} // namespace aster
