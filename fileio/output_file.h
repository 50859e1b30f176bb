#pragma once

#include "error.h"

#include <memory>
#include <optional>
#include <ostream>
#include <streambuf>
#include <string>
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

// One output file channel: created (or emptied) on `create`, written through `stream()`,
// and closed with every buffered byte accounted for by `close()`. Closed without a
// report by the destructor when an earlier error ends the procedure that opened it.
class OutputFile {
  public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();

    std::optional<Error> create(const std::string& path);
    std::ostream& stream() { return *m_stream; }
    // The error of the first failed write so far, if any.
    std::optional<Error> check() const;
    std::optional<Error> close();

  private:
    std::string m_path;
    int m_fd = -1;
    std::unique_ptr<FdStreamBuf> m_buf;
    std::unique_ptr<std::ostream> m_stream;
};

} // namespace aster
