#pragma once

#include "fileio/error.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace aster {

// The sequence number after `current`, or nothing when it would leave the 32-bit range.
std::optional<std::int32_t> NextSceneNumber(std::int32_t current);

// The error of a run the user stopped after `done` of `total` listed files.
Error StoppedAfter(std::int64_t done, std::int64_t total);

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
    // What the caller's PrepareScene made of this file, if it gave one.
    std::shared_ptr<void> prepared;
};

// Work on each listed file that the caller would otherwise do after next(): done on the
// thread that read the file, ahead of the caller, so that it runs beside the caller's own
// work. Called on several threads at once; the views in the scene stay valid for the
// result to keep until the caller has moved on to the next file.
using PrepareScene = std::function<std::shared_ptr<void>(const ListedScene& scene)>;

// The files that filelist.txt of a folder lists, in list order, each read whole by the
// rules of ReadFileContents, with the files after the current one read ahead.
class ListedScenes {
  public:
    explicit ListedScenes(ReadAheadSettings settings = {}, PrepareScene prepare = {});
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
