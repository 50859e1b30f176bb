#pragma once

#include "fileio/error.h"
#include "fileio/unique_fd.h"

#include <optional>
#include <string>

namespace aster {

// A new file in `folder`, open for reading and writing, that no name reaches: for what a
// run keeps on disk rather than in memory, gone when it is closed. A file system without
// unnamed files gets a named one, removed from the folder at once.
std::optional<Error> OpenUnnamedFile(const std::string& folder, UniqueFd& file);

} // namespace aster
