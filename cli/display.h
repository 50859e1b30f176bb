#pragma once

#include <cstdlib>
#include <algorithm>
#include <functional>
#include <string_view>

namespace aster {

// Reads one environment variable: nullptr when it is not set.
using EnvironmentReader = std::function<const char*(const char*)>;

// Whether Qt will find a display to open the window on. Asked before Qt starts, since Qt
// ends the process with an abort when it finds none. A platform Qt is told to use (one of
// QT_QPA_PLATFORM's list) counts unless it is X or Wayland without its display; otherwise
// an X or a Wayland display must be named. Header-only: the window includes it too, and
// links nothing of the command line.
inline bool HasDisplay(const EnvironmentReader& environment = &std::getenv) {
    const auto set = [&environment](const char* name) {
        const char* value = environment(name);
        return value != nullptr && *value != '\0';
    };
    const char* platforms = environment("QT_QPA_PLATFORM");
    if (platforms == nullptr || *platforms == '\0')
        return set("DISPLAY") || set("WAYLAND_DISPLAY");
    std::string_view rest = platforms;
    while (!rest.empty()) {
        const std::string_view entry = rest.substr(0, rest.find(';'));
        rest.remove_prefix(std::min(rest.size(), entry.size() + 1));
        const std::string_view name = entry.substr(0, entry.find(':'));
        if (name == "xcb" ? set("DISPLAY")
            : name.starts_with("wayland") ? set("WAYLAND_DISPLAY")
                                          : !name.empty())
            return true;
    }
    return false;
}

// The one line either program writes when there is no display, after its own name.
inline constexpr std::string_view kNoDisplay =
    ": no display to open the window on; the commands work without one (aster --help).\n";

} // namespace aster
