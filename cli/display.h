#pragma once

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace aster {

// Reads one environment variable: nullptr when it is not set.
using EnvironmentReader = std::function<const char*(const char*)>;

namespace display_detail {

// Whether something listens at the Unix socket `path` (a leading NUL names an abstract
// socket). A listener with a full queue still answers.
inline bool UnixSocketAnswers(std::string_view path) {
    sockaddr_un address{};
    if (path.empty() || path.size() >= sizeof address.sun_path)
        return false;
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, path.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return true; // cannot tell: Qt decides
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
    const bool answers = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0 ||
                         errno == EAGAIN || errno == EINPROGRESS;
    ::close(fd);
    return answers;
}

// Whether the local TCP port answers within a second.
inline bool LocalPortAnswers(unsigned port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return true;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool answers = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    if (!answers && errno == EINPROGRESS) {
        pollfd wait{fd, POLLOUT, 0};
        int error = 0;
        socklen_t size = sizeof error;
        answers = ::poll(&wait, 1, 1000) == 1 &&
                  ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
    }
    ::close(fd);
    return answers;
}

} // namespace display_detail

// Whether the X display named as DISPLAY names it answers: its socket in `socketFolder`
// (abstract or on disk) for a local display, port 6000 + N for localhost (an SSH
// forwarding). A remote host, or a name this cannot read, is left for Qt to try: looking
// up a host could wait for long.
inline bool XDisplayAnswers(std::string_view name,
                            std::string_view socketFolder = "/tmp/.X11-unix") {
    const std::size_t colon = name.rfind(':');
    if (colon == std::string_view::npos)
        return true;
    std::string_view host = name.substr(0, colon);
    host = host.substr(host.find('/') == std::string_view::npos ? 0 : host.find('/') + 1);
    const std::string_view rest = name.substr(colon + 1);
    const std::string_view digits = rest.substr(0, rest.find('.'));
    if (digits.empty() || digits.size() > 5 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return true;
    const unsigned number = static_cast<unsigned>(std::stoul(std::string(digits)));
    if (host.empty() || host == "unix") {
        const std::string path = std::string(socketFolder) + "/X" + std::string(digits);
        return display_detail::UnixSocketAnswers(std::string(1, '\0') + path) ||
               display_detail::UnixSocketAnswers(path);
    }
    if (host == "localhost" || host == "127.0.0.1")
        return number < 60000 && display_detail::LocalPortAnswers(6000 + number);
    return true;
}

// Whether the Wayland display named as WAYLAND_DISPLAY names it answers: a path, or a
// name in XDG_RUNTIME_DIR.
inline bool WaylandDisplayAnswers(std::string_view name, const char* runtimeFolder) {
    if (name.starts_with('/'))
        return display_detail::UnixSocketAnswers(name);
    if (runtimeFolder == nullptr || *runtimeFolder == '\0')
        return false;
    return display_detail::UnixSocketAnswers(std::string(runtimeFolder) + "/" + std::string(name));
}

// Asks whether the display that an environment variable (DISPLAY or WAYLAND_DISPLAY) names
// answers.
using DisplayAnswers = std::function<bool(std::string_view variable, std::string_view name)>;

// Why Qt would find no display to open the window on, as the end of a line after a
// program's name; nothing when it will find one. Asked before Qt starts, since Qt ends the
// process with an abort when it finds none, also when DISPLAY names one that does not
// answer (a stale DISPLAY after SSH or tmux). A platform Qt is told to use (one of
// QT_QPA_PLATFORM's list) counts unless it is X or Wayland without its display; otherwise
// an X or a Wayland display must be named and answer. Header-only: the window includes it
// too, and links nothing of the command line.
inline std::optional<std::string> NoDisplayReason(
    const EnvironmentReader& environment = &std::getenv,
    const DisplayAnswers& answers = [](std::string_view variable, std::string_view name) {
        return variable == "DISPLAY" ? XDisplayAnswers(name)
                                     : WaylandDisplayAnswers(name, std::getenv("XDG_RUNTIME_DIR"));
    }) {
    std::optional<std::string> silent; // a display named that does not answer
    const auto usable = [&](const char* variable) {
        const char* value = environment(variable);
        if (value == nullptr || *value == '\0')
            return false;
        if (answers(variable, value))
            return true;
        if (!silent)
            silent = std::string(value);
        return false;
    };
    const auto reason = [&silent]() -> std::optional<std::string> {
        if (silent)
            return ": the display " + *silent +
                   " does not answer; the commands work without one (aster --help).\n";
        return std::string(
            ": no display to open the window on; the commands work without one (aster --help).\n");
    };
    const char* platforms = environment("QT_QPA_PLATFORM");
    if (platforms == nullptr || *platforms == '\0') {
        const bool x = usable("DISPLAY");
        if (x || usable("WAYLAND_DISPLAY"))
            return std::nullopt;
        return reason();
    }
    std::string_view rest = platforms;
    while (!rest.empty()) {
        const std::string_view entry = rest.substr(0, rest.find(';'));
        rest.remove_prefix(std::min(rest.size(), entry.size() + 1));
        const std::string_view name = entry.substr(0, entry.find(':'));
        if (name == "xcb"                 ? usable("DISPLAY")
            : name.starts_with("wayland") ? usable("WAYLAND_DISPLAY")
                                          : !name.empty())
            return std::nullopt;
    }
    return reason();
}

} // namespace aster
