#pragma once

#include "fileio/directory.h"
#include "fileio/error.h"

#include <optional>
#include <string>
#include <vector>

namespace aster {

// The names of the folders in `folder`, symbolic links to folders included and hidden
// names left out, sorted by their bytes. `keepReading` as for ReadDirectory.
std::optional<Error> ReadSubfolders(const std::string& folder, std::vector<std::string>& names,
                                    const KeepReading& keepReading = {});

} // namespace aster
