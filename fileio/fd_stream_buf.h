#pragma once

#include "fileio/error.h"

#include <streambuf>
#include <vector>

namespace aster {

// A stream buffer over a POSIX file descriptor that remembers the errno of the first
// failed write, so that a full disk is reported with its cause instead of as a bare
// stream failure. Large writes bypass the buffer.
class FdStreamBuf : public std::streambuf {
  public:
    explicit FdStreamBuf(int fd, std::size_t bufferSize = 1 << 18);
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
    std::vector<char> m_buffer;
};

} // namespace aster
