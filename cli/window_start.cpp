#include "cli/window_start.h"

#include "cli/command_line.h"
#include "cli/display.h"

#include <filesystem>
#include <unistd.h>

namespace aster {

namespace {

constexpr const char* kWindowProgram = "aster-window";

} // namespace

std::vector<std::string> WindowProgramCandidates(const std::string& self) {
    std::vector<std::string> candidates;
    const std::size_t slash = self.rfind('/');
    if (slash != std::string::npos) {
        const std::string folder = self.substr(0, slash + 1);
        candidates.push_back(folder + kWindowProgram);
        // Only there: elsewhere ../app/ could be any folder of that name.
        if (folder.ends_with("/cli/"))
            candidates.push_back(folder + "../app/" + kWindowProgram);
    }
    // No slash: execvp looks it up on the path.
    candidates.emplace_back(kWindowProgram);
    return candidates;
}

int StartWindow(std::ostream& err) {
    if (const std::optional<std::string> reason = NoDisplayReason()) {
        err << "aster" << *reason << std::flush;
        return kExitError;
    }
    std::error_code ignored;
    const std::string self = std::filesystem::read_symlink("/proc/self/exe", ignored).native();
    char* const argv[] = {const_cast<char*>(kWindowProgram), nullptr};
    for (const std::string& candidate : WindowProgramCandidates(self)) {
        // Returns only when this one cannot be started: the next is tried.
        ::execvp(candidate.c_str(), argv);
    }
    err << "aster: the window is not installed (the aster-window package); the commands "
           "work without it (aster --help).\n"
        << std::flush;
    return kExitError;
}

} // namespace aster
