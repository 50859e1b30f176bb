#pragma once

// stand-in until fileio provides MoveIntoPlace
// Same declarations as fileio/replacement_file.h will have: delete this file and
// move_into_place.cpp, and include "replacement_file.h" instead.

#include "error.h"

#include <optional>
#include <string>
#include <vector>

namespace aster {

struct ScratchMove {
    std::string from;
    std::string to;
};

// Renames each `from` over its `to`: all of them, or none where the file system can swap
// two names (otherwise the moves already made stay). A `to` that is a folder is refused
// before anything moves.
std::optional<Error> MoveIntoPlace(const std::vector<ScratchMove>& moves);

} // namespace aster
