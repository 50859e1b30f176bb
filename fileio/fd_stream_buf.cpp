#include "fileio/fd_stream_buf.h"

#include "fileio/whole_file.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace aster {

// Syncs a file's data whenever asked, on a thread of its own, so that the writer never
// waits for the disk. Asks made during a sync are one more sync after it. What a sync
// fails at is left to the file's final sync, which tells the caller.
class FdStreamBuf::BackgroundSync {
  public:
    explicit BackgroundSync(int fd) : m_fd(fd), m_thread([this] { run(); }) {}
    ~BackgroundSync() { join(); }
    // Waits for a sync under way; those asked for and not begun are left to the final one.
    void join() {
        if (!m_thread.joinable())
            return;
        {
            const std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_one();
        m_thread.join();
    }
    // The first error a sync met. Linux tells a failed write-back once to each open file,
    // so a sync here takes it from the final one, which would then find nothing wrong.
    int error() const { return m_error.load(std::memory_order_acquire); }
    void ask() {
        {
            const std::lock_guard lock(m_mutex);
            m_asked = true;
        }
        m_wake.notify_one();
    }

  private:
    void run() {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_asked || m_stop; });
            if (m_stop)
                return;
            m_asked = false;
            lock.unlock();
            if (::fdatasync(m_fd) != 0 && errno != EINVAL && errno != EROFS) {
                int none = 0;
                m_error.compare_exchange_strong(none, errno, std::memory_order_acq_rel);
            }
            lock.lock();
        }
    }

    int m_fd;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_asked = false; // guarded by m_mutex
    bool m_stop = false;  // guarded by m_mutex
    std::atomic<int> m_error{0};
    std::thread m_thread; // last, so that it starts with the rest made
};

FdStreamBuf::FdStreamBuf(int fd, std::size_t bufferSize, std::size_t writeBehind)
    : m_fd(fd), m_writeBehind(writeBehind), m_buffer(bufferSize) {
    setp(m_buffer.data(), m_buffer.data() + m_buffer.size());
}

bool FdStreamBuf::writeAll(const char* data, std::size_t size) {
    if (m_errno == 0 && m_sync)
        m_errno = m_sync->error();
    if (m_errno != 0)
        return false;
    m_errno = WriteAll(m_fd, std::string_view(data, size));
    if (m_errno != 0)
        return false;
    m_written += size;
    if (m_writeBehind > 0 && m_written - m_syncedTo >= m_writeBehind) {
        m_syncedTo = m_written;
        try {
            if (!m_sync)
                m_sync = std::make_unique<BackgroundSync>(m_fd);
            m_sync->ask();
        } catch (const std::exception&) {
            m_writeBehind = 0; // no thread or memory for it: the final sync does it all
        }
    }
    return true;
}

bool FdStreamBuf::flushBuffer() {
    const std::size_t pending = static_cast<std::size_t>(pptr() - pbase());
    const bool ok = writeAll(pbase(), pending);
    setp(m_buffer.data(), m_buffer.data() + m_buffer.size());
    return ok;
}

FdStreamBuf::~FdStreamBuf() = default;

int FdStreamBuf::endSyncsBehind() {
    if (!m_sync)
        return 0;
    m_sync->join();
    if (m_errno == 0)
        m_errno = m_sync->error();
    m_sync.reset();
    return m_errno;
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
