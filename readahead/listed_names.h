#pragma once

#include "readahead/list_reader.h"

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace aster {

// Whether a run's list names a file, for the few files whose scene depends on another
// listed file (an HDF file and its own metadata file). The list is read again at the
// first question, on whichever thread asks it, and only the lines that end in one of
// `endings` (in any case) are kept, as hashes: a few bytes a kept line, none for the rest.
class ListedNames {
  public:
    ListedNames(std::string folderPrefix, ListOptions list, std::vector<std::string> endings);
    ListedNames(const ListedNames&) = delete;
    ListedNames& operator=(const ListedNames&) = delete;

    // Whether a line of the list, after the folder prefix, gives `fullPath` exactly, but
    // for leading "./" on either. A list that can no longer be read names nothing. May be
    // called on several threads.
    bool contains(std::string_view fullPath);

  private:
    void read();

    std::string m_prefix;
    ListOptions m_list;
    std::vector<std::string> m_endings;
    std::once_flag m_read;
    std::vector<std::size_t> m_hashes; // sorted
};

} // namespace aster
