#include "fileio/whole_file.h"

#include "fileio/unique_fd.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace aster {

namespace {

// Hands `write` what is left of `bytes` until it has taken all of it; `write` is given
// the bytes and how many were written before them.
template <typename Write>
int WriteWhole(std::string_view bytes, Write write) {
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t written = write(bytes.substr(done), done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0)
            return errno;
        if (written == 0)
            return EIO;
        done += static_cast<std::size_t>(written);
    }
    return 0;
}

} // namespace

int WriteAll(int fd, std::string_view bytes) {
    return WriteWhole(bytes, [fd](std::string_view rest, std::size_t) {
        return ::write(fd, rest.data(), rest.size());
    });
}

int WriteAllAt(int fd, std::string_view bytes, off_t offset) {
    return WriteWhole(bytes, [fd, offset](std::string_view rest, std::size_t done) {
        return ::pwrite(fd, rest.data(), rest.size(), offset + static_cast<off_t>(done));
    });
}

int ReadAt(int fd, char* buffer, std::size_t size, off_t offset, std::size_t& got) {
    got = 0;
    while (got < size) {
        const ssize_t read = ::pread(fd, buffer + got, size - got, offset + off_t(got));
        if (read < 0 && errno == EINTR)
            continue;
        if (read < 0)
            return errno;
        if (read == 0)
            break;
        got += static_cast<std::size_t>(read);
    }
    return 0;
}

int ReadFully(int fd, char* buffer, std::size_t size, std::size_t& got) {
    got = 0;
    while (got < size) {
        const ssize_t read = ::read(fd, buffer + got, size - got);
        if (read < 0 && errno == EINTR)
            continue;
        if (read < 0)
            return errno;
        if (read == 0)
            break;
        got += static_cast<std::size_t>(read);
    }
    return 0;
}

int ReadWholeFileAt(int dirFd, const std::string& path, std::size_t maxBytes,
                    std::string& bytes) {
    const UniqueFd fd(::openat(dirFd, path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0)
        return errno;
    if (!S_ISREG(info.st_mode))
        return EINVAL;
    if (static_cast<std::uint64_t>(info.st_size) > maxBytes)
        return EFBIG;
    bytes.resize(static_cast<std::size_t>(info.st_size));
    std::size_t got = 0;
    const int err = ReadAt(fd.get(), bytes.data(), bytes.size(), 0, got);
    bytes.resize(got);
    return err;
}

int WriteNewFileAt(int dirFd, const std::string& path, std::string_view bytes) {
    UniqueFd fd(
        ::openat(dirFd, path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!fd)
        return errno;
    if (const int err = WriteAll(fd.get(), bytes))
        return err;
    return ::close(fd.release()) == 0 ? 0 : errno;
}

} // namespace aster
