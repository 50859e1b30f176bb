#pragma once

#include "fileio/error.h"
#include "readahead/list_reader.h"
#include "readahead/scene_files.h"

#include <algorithm>
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
    // A * or ? refuses only the listed line, not the chosen folder's path, which the
    // user named: the scene run's rule. The text run keeps refusing both.
    bool wildcardsInLineOnly = false;

    // The workers that may prepare scenes (see ScenePreparer): the run's thread and each
    // reading thread.
    std::size_t workers() const { return std::size_t{threads} + 1; }
};

// How much of a listed file a ListedScene's text holds.
enum class TextExtent {
    Whole,    // the whole file (empty when it is no readable scene file)
    Head,     // its first bytes only: the caller's HeadFirst rule left the rest unread
    TooLarge, // its first bytes only: the rule wanted it whole, but it is larger than allowed
};

// For runs that want only some files whole: each file longer than headBytes is read up to
// headBytes first, and `wholeFile` decides from those bytes whether the rest is read too.
// Without it every file is read whole.
struct HeadFirst {
    std::size_t headBytes = 0;
    // A file wanted whole but larger than this is left at its head, as TooLarge.
    std::size_t maxWholeBytes = 0;
    // Called on several threads at once, each as the `worker` that then prepares the same
    // file (ScenePreparer::prepare), so that a preparer may keep what the rule found for
    // that preparation; where it throws, the run's thread prepares the file again as
    // worker 0, with no call of the rule just before.
    std::function<bool(std::string_view head, std::size_t worker)> wholeFile;
    // A file no larger is read whole at once, since a second read of it costs more than
    // its bytes; a rule that seldom wants the rest sets it lower.
    std::size_t smallFileBytes = 64 * 1024;

    bool active() const { return headBytes > 0 && wholeFile != nullptr; }
    // Whether no file is read further than this rule's bounds, however large it is, so
    // that a file past the bound on whole files (an HDF file of gigabytes) is still read
    // to its head.
    bool boundsEveryRead() const {
        return active() && std::max(headBytes, maxWholeBytes) <= kMaxWholeSceneBytes;
    }
    // The bytes read before the rule is asked: the head, or a small file whole.
    std::size_t firstRead(std::size_t size) const {
        return size <= std::min(std::max(headBytes, smallFileBytes), maxWholeBytes)
                   ? size
                   : std::min(size, headBytes);
    }
};

// One listed file: its sequence number, its full path and its text (empty when it is no
// readable scene file). The views stay valid until the next call of next().
struct ListedScene {
    std::int32_t number = 0;
    std::string_view fullPath;
    std::string_view text;
    TextExtent extent = TextExtent::Whole;
    FileIdentity identity; // the file the path named, if any
};

// Work on each listed file that the caller would otherwise do after next(), done on the
// thread that read the file, so that it runs beside the caller's own work. This is the
// untyped half of PreparedScenes, which callers use.
class ScenePreparer {
  public:
    // Called by open() before any prepare(): the places prepare() fills are numbered
    // from 0 to count - 1.
    virtual void makePlaces(std::size_t count) = 0;
    // Prepares `scene` into `place`, which no other thread touches until the run takes
    // the scene. Called on several threads at once, each as a `worker` of its own: 0 on
    // the run's thread, 1 and up on the reading threads, all below
    // ReadAheadSettings::workers().
    // No two threads are the same worker at once, so that what a worker keeps from file
    // to file needs no lock and stays in its core's cache. When it throws, the run
    // prepares the scene again in its turn.
    virtual void prepare(std::size_t place, std::size_t worker, const ListedScene& scene) = 0;

  protected:
    ~ScenePreparer() = default;
};

// The files that filelist.txt of a folder lists, in list order, each read by the rules of
// ReadFileContents (and of `headFirst`, when given), with the files after the current
// one read ahead.
class ListedScenes {
  public:
    explicit ListedScenes(ReadAheadSettings settings = {}, HeadFirst headFirst = {},
                          ScenePreparer* preparer = nullptr);
    ListedScenes(const ListedScenes&) = delete;
    ListedScenes& operator=(const ListedScenes&) = delete;
    ~ListedScenes();

    // Opens the list (folderPrefix + "filelist.txt" unless `list` names another) and
    // counts its lines; each line names a file from the folder.
    std::optional<Error> open(const std::string& folderPrefix, const ListOptions& list = {});
    // The number of lines the list holds.
    std::int64_t total() const;
    // The next listed file; false at the end of the list or on an error (see error()).
    bool next(ListedScene& scene);
    const std::optional<Error>& error() const;
    // The place the preparer was given for the file next() returned last; whether the
    // preparer filled it, the caller sees in the place itself.
    std::size_t currentPlace() const;

  private:
    class Impl;
    std::unique_ptr<Impl> m_impl;
};

// ListedScenes with what `prepare` makes of each file, as a value of the caller's type:
// made on the thread that read the file where it could be, else by next() in the run's
// turn, as worker 0. Each result is made once and handed over once, in list order. The
// result next() replaces goes back to the place the new one came from, and the thread
// that prepares there next frees it: a result's memory is mostly given back by a
// reading thread, often the one that took it, rather than all by the run's thread, for
// which freeing what another thread took is slower.
template <typename Prepared>
class PreparedScenes final : private ScenePreparer {
  public:
    // `worker` as ScenePreparer::prepare gives it.
    using Prepare = std::function<Prepared(const ListedScene& scene, std::size_t worker)>;

    PreparedScenes(ReadAheadSettings settings, Prepare prepare, HeadFirst headFirst = {})
        : m_prepare(std::move(prepare)), m_scenes(settings, std::move(headFirst), this) {}

    std::optional<Error> open(const std::string& folderPrefix, const ListOptions& list = {}) {
        return m_scenes.open(folderPrefix, list);
    }
    std::int64_t total() const { return m_scenes.total(); }
    const std::optional<Error>& error() const { return m_scenes.error(); }

    // The next listed file and what `prepare` made of it, in place of the result
    // `prepared` held.
    bool next(ListedScene& scene, Prepared& prepared) {
        if (!m_scenes.next(scene))
            return false;
        Place& place = m_places[m_scenes.currentPlace()];
        if (place.filled) {
            std::swap(prepared, place.value);
            place.filled = false;
        } else {
            prepared = m_prepare(scene, 0);
        }
        return true;
    }

  private:
    // A result waiting for the run (filled), or one the run is done with, to be freed.
    struct Place {
        Prepared value{};
        bool filled = false;
    };
    void makePlaces(std::size_t count) override {
        m_places = std::make_unique<Place[]>(count);
    }
    void prepare(std::size_t place, std::size_t worker, const ListedScene& scene) override {
        m_places[place].value = m_prepare(scene, worker);
        m_places[place].filled = true;
    }

    Prepare m_prepare;
    std::unique_ptr<Place[]> m_places;
    // Last, so that its reading threads have stopped before the places go.
    ListedScenes m_scenes;
};

} // namespace aster
