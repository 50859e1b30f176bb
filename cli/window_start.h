#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace aster {

// Where `aster` without a command looks for the window's program, in this order: its own
// folder (both installed in one place), ../app/ when its own folder is a build tree's
// cli/, then the path. `self` is this program's own path, empty when it is unknown.
std::vector<std::string> WindowProgramCandidates(const std::string& self);

// `aster` without a command: replaces this process with the window when there is a
// display and the window's program is found. Otherwise says in one line on `err` why
// there is no window and that the commands work without one, and returns the exit
// status, 1.
int StartWindow(std::ostream& err);

} // namespace aster
