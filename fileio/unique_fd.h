#pragma once

#include <unistd.h>
#include <utility>

namespace aster {

// Owns one POSIX file descriptor and closes it when it goes out of scope.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other)
            reset(std::exchange(other.m_fd, -1));
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }
    // Gives up ownership without closing.
    int release() { return std::exchange(m_fd, -1); }
    // Closes the descriptor held, if any, and takes `fd`. Returns close()'s result.
    int reset(int fd = -1) {
        const int old = std::exchange(m_fd, fd);
        return old >= 0 ? ::close(old) : 0;
    }

  private:
    int m_fd = -1;
};

} // namespace aster
