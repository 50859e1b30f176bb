#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sched.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace aster::test {

// A scratch folder removed with everything in it when the test ends.
class TempFolder {
  public:
    TempFolder() : TempFolder(std::filesystem::temp_directory_path().string()) {}
    // In `base` rather than the temporary folder: a test that writes many times can ask
    // for a file system in memory.
    explicit TempFolder(const std::string& base) {
        std::string pattern = base + "/aster-test-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        m_path = pattern;
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::permissions(m_path, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(m_path, ignored);
    }

    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

    void write(const std::string& name, const std::string& bytes) const {
        std::ofstream out(file(name), std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out)
            throw std::runtime_error("cannot write " + name);
    }

    std::string read(const std::string& name) const {
        std::ifstream in(file(name), std::ios::binary);
        if (!in)
            return "<missing>";
        std::ostringstream bytes;
        bytes << in.rdbuf();
        return std::move(bytes).str();
    }

    bool exists(const std::string& name) const {
        std::error_code ignored;
        return std::filesystem::exists(std::filesystem::symlink_status(file(name)));
    }

  private:
    std::string m_path;
};

// A Unix-domain socket bound at `path`, as a server would leave it in a folder.
inline void MakeSocket(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("cannot bind " + path);
    ::close(fd);
}

// Bytes this process has read through read(2) and its kin, all threads together.
inline long long BytesRead() {
    std::ifstream io("/proc/self/io");
    std::string key;
    long long value = 0;
    while (io >> key >> value) {
        if (key == "rchar:")
            return value;
    }
    return -1;
}

// Number of open file descriptors of this process, to show that nothing leaks.
inline std::size_t OpenDescriptorCount() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

// The peak resident memory a piece of work adds: the kernel's high-water mark is reset
// when this is made, so the figure is the work's own peak, not an earlier one. Nothing
// where the kernel cannot reset the mark, or under a sanitizer, whose own memory would
// swamp the figure.
class PeakMemory {
  public:
    PeakMemory() {
        std::ofstream clear("/proc/self/clear_refs");
        clear << "5";
        clear.close();
        m_reset = static_cast<bool>(clear);
        m_start = StatusKiB("VmRSS:");
    }
    std::optional<long> addedKiB() const {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        return std::nullopt;
#else
        if (!m_reset)
            return std::nullopt;
        return StatusKiB("VmHWM:") - m_start;
#endif
    }

  private:
    static long StatusKiB(const std::string& field) {
        std::ifstream status("/proc/self/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.starts_with(field))
                return std::stol(line.substr(field.size()));
        }
        return 0;
    }

    bool m_reset = false;
    long m_start = 0;
};

// The exit status a child process gives when this machine cannot do what a test needs.
inline constexpr int kSkip = 77;

// Starts `body` in a child process, which ends with what `body` returns (1 if it throws).
inline pid_t StartChild(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        int status = 1;
        try {
            status = body();
        } catch (...) {
        }
        ::_exit(status);
    }
    return pid;
}

// A child's exit status from waitpid's, or 128 + the signal that ended it.
inline int ExitStatus(int waitStatus) {
    return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus);
}

// Runs `body` in a child process and returns its exit status (or 128 + the signal that
// ended it); the child reports a failed check by returning 1 and a skip with kSkip.
inline int InChild(const std::function<int()>& body) {
    const pid_t pid = StartChild(body);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return ExitStatus(status);
}

// In a child process: a private mount namespace of its own, where this process may mount
// file systems. Not root, it takes a user namespace too, in which the user stays itself:
// without that mapping every file it creates fails with EOVERFLOW. False when this machine
// allows neither.
inline bool OwnMountNamespace() {
    const uid_t uid = ::getuid();
    const gid_t gid = ::getgid();
    if (::unshare(CLONE_NEWNS) != 0) {
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
            return false;
        const auto put = [](const char* path, const std::string& text) {
            std::ofstream out(path);
            out << text;
            out.close();
            return !out.fail();
        };
        if (!put("/proc/self/setgroups", "deny") ||
            !put("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1") ||
            !put("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1"))
            return false;
    }
    ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
    return true;
}

// In a child process: mounts a small file system of its own over `folder`, in a private
// mount namespace, so that writing more than `size` (as "64k") fills the disk. False when
// this machine allows no such mount.
inline bool MountSmallDisk(const std::string& folder, const char* size) {
    if (!OwnMountNamespace())
        return false;
    const std::string options = std::string("size=") + size;
    return ::mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

} // namespace aster::test
