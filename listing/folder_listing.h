#pragma once

#include "error.h"

#include <optional>
#include <string>
#include <vector>

namespace aster {

// What the listing reads from its front end: the chosen folder, once, at the start.
class ListingHost {
  public:
    virtual ~ListingHost() = default;
    virtual std::string folderPath() = 0;
};

// The names that go into the list: files, folders and symbolic links, sorted by their
// bytes. Hidden names, ".", "..", FIFOs, sockets, devices and names holding a line
// break are left out.
std::optional<Error> ReadFolderEntries(const std::string& folderPrefix,
                                       std::vector<std::string>& names);

// Writes filelist.txt into the chosen folder: one name per line, each ended by CR LF.
// The folder is read completely before the list is created, so an earlier list is
// listed and a new one never is.
std::optional<Error> ListTheFiles(ListingHost& host);

} // namespace aster
