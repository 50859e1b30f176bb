#pragma once

#include "fileio/error.h"
#include "fileio/unique_fd.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace aster {

// The granules written so far, each with the path of the file that gave it first. The
// texts go to an unnamed file; memory keeps only a part of each granule's hash and where
// its texts lie, 8 bytes a slot in a table at most three quarters full, so that a million
// rows hold some 17 MB instead of their texts.
class FirstFiles {
  public:
    // Opens the unnamed file in `folder`.
    std::optional<Error> open(const std::string& folder);
    // Sets `first` to the path that gave `granule` before; to nothing, keeping `path` for
    // it, if none did.
    std::optional<Error> add(std::string_view granule, std::string_view path,
                             std::optional<std::string>& first);

  private:
    void grow();
    std::optional<Error> textsAt(std::uint64_t at, std::string& granule, std::string& path);
    std::optional<Error> flush();

    UniqueFd m_file;
    std::string m_folder;
    // Each slot: the hash's top 24 bits, then 40 bits of where the granule's texts start
    // in the file, plus one; 0 for an empty slot.
    std::vector<std::uint64_t> m_slots;
    std::size_t m_used = 0;
    std::uint64_t m_size = 0; // of the file, with what is buffered
    std::string m_buffer;     // texts not yet written, from m_size - m_buffer.size()
};

} // namespace aster
