#pragma once

#include "fileio/directory.h"
#include "fileio/error.h"
#include "listing/folder_listing.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace aster {

// How many folders deep the walk goes below the chosen one. Each level keeps its folder
// open while its subfolders are read, so this bound keeps the walk to a quarter of the
// 1024 descriptors a process is usually allowed, leaving the rest to the run that reads
// the list. Archives nest a few levels (year, day, scene); a tree deeper than this is
// a mistake or a mount that repeats itself, and its deeper folders are named as skipped.
inline constexpr int kMaxTreeDepth = 256;

// What a walk of a folder tree is given besides the folder.
struct TreeWalk {
    // Shell patterns on each file's own name; none lists every file.
    std::vector<std::string> patterns;
    // Told the entries read in the whole tree so far, now and then; false stops the walk.
    KeepReading keepReading;
    // A subfolder left out, as a path from the root, and why.
    std::function<void(std::string_view path, std::string_view reason)> skipped;
    // Where the chosen folder's own scratch files and folders of killed runs are named,
    // if anywhere; those in subfolders are neither named nor listed.
    std::vector<std::string>* scratchNames = nullptr;
    // A file that would be listed but for its name (kUnlistableName), by its full path.
    UnlistedName unlisted;
};

// Adds to `paths`, unsorted, the path from the folder `folderPrefix` (ending in '/') of
// every file and symbolic link in its tree: "a.met", "2004/b.hdf.xml". Folders are read,
// not listed; hidden entries, FIFOs, sockets, devices and names holding a line break are
// left out, hidden folders and folders named with a line break with all they hold. Each
// subfolder is opened from its parent's descriptor and never through a link, so a link
// to a folder is listed as the link it is and never followed. A folder that cannot be
// opened, or that is one of the folders holding it (a mount repeating its parent), is
// skipped and named through `walk.skipped`. `entriesRead` ends as the entries read.
std::optional<Error> ReadTree(const std::string& folderPrefix, const TreeWalk& walk,
                              NameList& paths, std::int64_t& entriesRead);

} // namespace aster
