#pragma once

#include "fileio/error.h"
#include "metadata/footprint_shape.h"
#include "metadata/scene_metadata.h"
#include "readahead/listed_scenes.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace aster {

// One listed file that gives a scene, as every output writes it: its metadata cleaned by
// CleanSceneValues and its footprint shape.
struct Scene {
    std::int32_t number = 0;  // the list line's sequence number
    std::string_view fullPath; // the list's bytes; valid during the call it is given to
    SceneMetadata metadata;
    FootprintShape shape;
};

// Makes the metadata what every output writes, so that they all agree:
// - texts UTF-8 (fileio/utf8.h), an empty one none;
// - the sun's azimuth in [0, 360), its elevation in [-90, 90] or none, cloud cover in
//   [0, 100] or none; NaN or infinity none;
// - an end of the acquisition only after its beginning;
// - the granule ID without a trailing data-file extension (.hdf, .he5, .h5, .nc), so a
//   granule has one ID whichever of its metadata files it came from;
// - one platform, or none when the file names several different ones (EOS AM-1 and PM-1
//   by their names in orbit, Terra and Aqua); each instrument
//   once, in file order; an ASTER product (short name AST_...) is Terra's and ASTER's
//   where the file does not name its platform or instrument.
void CleanSceneValues(SceneMetadata& metadata);

// `name` without a trailing data-file extension (.hdf, .he5, .h5, .nc) in any case.
std::string_view WithoutDataFileExtension(std::string_view name);

// Told about a run as it goes, on the thread that runs it.
class SceneRunHost {
  public:
    virtual ~SceneRunHost() = default;
    // After each listed file: `done` of `total`.
    virtual void progress(std::int64_t /*done*/, std::int64_t /*total*/) {}
    // Asked after each listed file and once more before the output is published; true
    // stops the run, which then changes nothing.
    virtual bool cancelRequested() { return false; }
    // The same question, asked on any thread and several at once by a read that waits
    // long (an HDF file's helper), so that it gives up at once on a stop.
    virtual bool cancelRequestedOnAnyThread() const { return false; }
    // A listed file that gives nothing, and why, as soon as the run finds it.
    virtual void skipped(std::string_view /*path*/, std::string_view /*reason*/) {}
    // A scene that an output names otherwise than by its own ID, and why.
    virtual void idChanged(std::string_view /*path*/, std::string_view /*id*/,
                           std::string_view /*why*/) {}
    // Once, after the last file, what the user should know of the output as a whole, in
    // words that suit every front end.
    virtual void notice(std::string_view /*text*/) {}
};

// How many listed files were skipped for one kind of reason.
struct SkipCount {
    std::string kind; // see SkipKind
    std::int64_t count = 0;
};

// A skip reason without what differs from file to file: "unreadable XML at line 7" is
// "unreadable XML", "described by X.hdf.xml" is "described by its metadata file".
std::string SkipKind(std::string_view reason);

struct SceneRunReport {
    std::int64_t written = 0; // scenes the output holds
    std::int64_t skipped = 0; // listed files that gave none, each named to the host
    // The skips by kind, in the order each kind was first found; at most kMaxSkipKinds,
    // the rest counted under "other reasons".
    std::vector<SkipCount> skippedFor;
    static constexpr std::size_t kMaxSkipKinds = 32;
    void countSkip(std::string_view reason);
};

// One output behind the scene run. The run calls, in this order: plan() once, before the
// list is read; start() once the list is open; prepare() for each scene, on reading threads
// and several at once; write() for each scene in list order; complete() after the last;
// publish() unless the host asked to stop.
class SceneWriter {
  public:
    // The writer's own work on one scene, done on the thread that read its file.
    struct Prepared {
        virtual ~Prepared() = default;
    };

    virtual ~SceneWriter() = default;
    // The output's folder, name and format, worked out once; a refused output stops the
    // run before anything is read.
    virtual std::optional<Error> plan() = 0;
    // Checks what is at the output and sets up where it is written; `host` stays for
    // the run.
    virtual std::optional<Error> start(const SceneRunHost& host) = 0;
    // Whether the output can hold a scene of this metadata at all (STAC needs a time).
    virtual bool takes(const SceneMetadata& /*metadata*/) const { return true; }
    // May give `reason` instead of a result: the scene is then skipped for it.
    virtual std::unique_ptr<Prepared> prepare(const Scene& scene, std::string& reason) = 0;
    // May give `reason` instead of writing the scene, which is then skipped for it: only
    // the run's order tells some skips, such as a granule a file earlier in the list gave.
    // `prepared` is what prepare() gave for the scene, and stays the run's: it is freed
    // later, on a reading thread (see PreparedScenes).
    virtual std::optional<Error> write(const Scene& scene, Prepared& prepared,
                                       std::string& reason) = 0;
    // Finishes the output aside, where it replaces nothing yet.
    virtual std::optional<Error> complete(SceneRunHost& host) = 0;
    // Puts the finished output in its place; once it is there, what is left to say goes
    // to the host's notice().
    virtual std::optional<Error> publish(SceneRunHost& host) = 0;
    // The output as messages name it.
    virtual const std::string& shownOutput() const = 0;
    // The one file the output replaces, where it is one file (empty otherwise): a listed
    // file that is it would be lost under the output, so the run refuses it.
    virtual std::string_view replacedFile() const { return {}; }
    // Whether an earlier output is there for publish() to replace; known after start().
    virtual bool replacesEarlier() const { return false; }
};

struct SceneRunOptions {
    std::string folderPrefix; // the scene folder's FolderPrefix: its files are listed from it
    ReadAheadSettings readAhead;
    // The list read: filelist.txt in the folder unless another is named. A line feed alone
    // ends a line too, since no listed name holds one.
    ListOptions list{{}, true};
    // The list is what a search of the folder found (its tree, name patterns), not a list
    // file: an empty one means that nothing was found rather than that nothing was asked for.
    bool listSearched = false;
};

// Reads every listed file in list order through the shared step (metadata/
// scene_footprint.h), cleans what it gives, and hands each scene to the writer; names
// every skipped file to the host as it is found. A missing list gives the text run's
// error; a stop, a cancellation error; no memory, an error naming the output.
std::optional<Error> RunScenes(const SceneRunOptions& options, SceneWriter& writer,
                               SceneRunHost& host, SceneRunReport& report);

} // namespace aster
