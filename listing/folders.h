#pragma once

#include "fileio/error.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace aster {

// The folder's path in normal form: absolute, no "." or empty components, ".." taken
// back by name, no trailing separator except for the root.
std::string NormalFolderPath(const std::string& path);

// Told how many entries have been read so far, now and then during a read; returns false
// to stop the read.
using KeepReading = std::function<bool(std::int64_t entriesRead)>;

// The names of the folders in `folder`, symbolic links to folders included and hidden
// names left out, sorted by their bytes. A stop asked for by `keepReading` gives a
// cancellation error.
std::optional<Error> ReadSubfolders(const std::string& folder, std::vector<std::string>& names,
                                    const KeepReading& keepReading = {});

} // namespace aster
