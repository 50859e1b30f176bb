#pragma once

#include "fileio/error.h"

#include <cstdint>
#include <memory>
#include <streambuf>
#include <vector>

namespace aster {

// A stream buffer over a POSIX file descriptor that remembers the errno of the first
// failed write, so that a full disk is reported with its cause instead of as a bare
// stream failure. Large writes bypass the buffer.
class FdStreamBuf : public std::streambuf {
  public:
    // With `writeBehind`, for a file that is synced when it is done, each that many bytes
    // written are synced as the writing goes on, on a thread of its own: the final sync
    // then waits for the last of them only, not for the whole file at once. A disk (or a
    // virtual machine's host) that keeps what it was given in its cache takes about as
    // long to sync it as to write it.
    explicit FdStreamBuf(int fd, std::size_t bufferSize = 1 << 18, std::size_t writeBehind = 0);
    ~FdStreamBuf() override;
    FdStreamBuf(const FdStreamBuf&) = delete;
    FdStreamBuf& operator=(const FdStreamBuf&) = delete;

    int failedErrno() const { return m_errno; }
    // Waits for the syncs behind the writing and gives the first error of a write or of
    // one of them (0 if none): to be asked before the final sync, which may not hear of
    // a failure a sync behind has already been told.
    int endSyncsBehind();

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
    std::uint64_t m_written = 0; // bytes written through this buffer
    std::uint64_t m_syncedTo = 0; // m_written when a sync was last asked for
    class BackgroundSync;
    std::unique_ptr<BackgroundSync> m_sync; // made at the first sync asked for
    std::vector<char> m_buffer;
};

} // namespace aster
