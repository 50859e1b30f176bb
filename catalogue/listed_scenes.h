#pragma once

#include "fileio/error.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace aster {

// The sequence number after `current`, or nothing when it would leave the 32-bit range.
std::optional<std::int32_t> NextSceneNumber(std::int32_t current);

// How far a run reads scene files ahead of the file it works on.
struct ReadAheadSettings {
    // Threads reading ahead; 0 reads every file in its turn on the caller's thread. Reading
    // mostly waits for the disk, so there are more of them than cores.
    unsigned threads = 16;
    // At most this many files and bytes are held ahead of the run; a file larger than
    // maxBytes is read in its turn.
    std::size_t maxFiles = 64;
    std::size_t maxBytes = std::size_t{64} << 20;
};

// One listed file: its sequence number, its full path and its whole text (empty when it
// is no readable scene file). The views stay valid until the next call of next().
struct ListedScene {
    std::int32_t number = 0;
    std::string_view fullPath;
    std::string_view text;
};

// The files that filelist.txt of a folder lists, in list order, each read whole by the
// rules of ReadFileContents, with the files after the current one read ahead.
class ListedScenes {
  public:
    explicit ListedScenes(ReadAheadSettings settings = {});
    ListedScenes(const ListedScenes&) = delete;
    ListedScenes& operator=(const ListedScenes&) = delete;
    ~ListedScenes();

    // Opens folderPrefix + "filelist.txt" and counts its lines.
    std::optional<Error> open(const std::string& folderPrefix);
    // The number of lines the list holds.
    std::int64_t total() const;
    // The next listed file; false at the end of the list or on an error (see error()).
    bool next(ListedScene& scene);
    const std::optional<Error>& error() const;

  private:
    class Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace aster
