#include "metadata/scene_run.h"

#include "fileio/ascii.h"
#include "fileio/folder.h"
#include "fileio/long_path.h"
#include "fileio/utf8.h"
#include "metadata/hdf_texts.h"
#include "metadata/scene_footprint.h"
#include "readahead/list_reader.h"
#include "readahead/scene_files.h"

#include <array>
#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>

namespace aster {

namespace {

// Extensions of the data files whose names granule IDs are often given with.
constexpr std::array<std::string_view, 4> kDataFileExtensions{".hdf", ".he5", ".h5", ".nc"};

void CleanText(std::optional<std::string>& text) {
    if (text && text->empty())
        text.reset();
    else if (text)
        MakeUtf8(*text);
}

std::optional<double> InRange(std::optional<double> value, double low, double high) {
    if (value && std::isfinite(*value) && *value >= low && *value <= high)
        return value;
    return std::nullopt;
}

// Degrees clockwise from north in [0, 360).
std::optional<double> Azimuth(std::optional<double> value) {
    if (!value || !std::isfinite(*value))
        return std::nullopt;
    double azimuth = std::fmod(*value, 360.0);
    if (azimuth < 0)
        azimuth += 360;
    return azimuth >= 360 ? 0 : azimuth; // a tiny negative angle rounds up to 360
}

void StripDataFileExtension(std::optional<std::string>& granule) {
    if (granule)
        granule->resize(WithoutDataFileExtension(*granule).size());
    if (granule && granule->empty())
        granule.reset();
}

// Keeps each name once, UTF-8, in file order; names that differ only in case are one.
// In place: every scene has a few, and a copy of them would be a few allocations more.
void KeepDistinct(std::vector<std::string>& names) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i].empty())
            continue;
        MakeUtf8(names[i]);
        bool seen = false;
        for (std::size_t k = 0; k < kept; ++k)
            seen = seen || EqualsNoCase(names[k], names[i]);
        if (seen)
            continue;
        if (kept != i)
            names[kept] = std::move(names[i]);
        ++kept;
    }
    names.resize(kept);
}

// ECS metadata written before launch names the EOS platforms by their mission names.
std::string PlatformName(std::string name) {
    if (EqualsNoCase(name, "AM-1"))
        return "Terra";
    if (EqualsNoCase(name, "PM-1"))
        return "Aqua";
    return name;
}

void CleanPlatforms(SceneMetadata& metadata) {
    for (std::string& platform : metadata.platforms)
        platform = PlatformName(std::move(platform));
    KeepDistinct(metadata.platforms);
    KeepDistinct(metadata.instruments);
    const bool aster = metadata.product && StartsWithNoCase(*metadata.product, "AST_");
    if (aster && metadata.platforms.empty())
        metadata.platforms = {"Terra"};
    if (aster && metadata.instruments.empty())
        metadata.instruments = {"ASTER"};
    // A granule of several platforms claims none of them.
    if (metadata.platforms.size() > 1)
        metadata.platforms.clear();
}

// The file the output will replace, where one is there: reading it as a scene and then
// replacing it would lose it, under whatever name or link the list gives it. A link in the
// output's place is replaced, not what it leads to; but one that leads to a file the run
// reads is refused too, since the list may name the file by that link.
class ReplacedFile {
  public:
    explicit ReplacedFile(std::string_view path) {
        const std::string name(path);
        struct stat info {};
        if (path.empty() || ::lstat(name.c_str(), &info) != 0)
            return;
        if (S_ISREG(info.st_mode))
            m_identity = IdentityOf(info);
        else if (S_ISLNK(info.st_mode) && ::stat(name.c_str(), &info) == 0 && S_ISREG(info.st_mode))
            m_identity = IdentityOf(info);
    }

    bool is(const FileIdentity& identity) const {
        return m_identity != FileIdentity{} && identity == m_identity;
    }
    // Whether reading `path` reads the replaced file.
    bool readBy(const std::string& path) const {
        struct stat info {};
        return StatAtAnyLength(AT_FDCWD, path.c_str(), info, 0) == 0 &&
               is(IdentityOf(info));
    }

  private:
    FileIdentity m_identity;
};

Error ReadsTheOutput(const SceneWriter& writer, std::string_view input, bool isTheList) {
    return Error{EINVAL,
                 "The output " + writer.shownOutput() +
                     " is a file this run reads: " + std::string(input),
                 isTheList ? "Write the output under another name."
                           : "Write the output under another name, or outside the scene folder "
                             "so that its list does not name it.",
                 ErrorKind::Other};
}

// What the run takes from one listed file, made on the thread that read it.
struct PreparedScene {
    std::optional<Scene> scene;
    std::unique_ptr<SceneWriter::Prepared> written; // the writer's share
    std::string reason;
};

PreparedScene PrepareScene(SceneFootprintReader& reader, std::size_t worker, SceneWriter& writer,
                           const ListedScene& listed, std::size_t prefixSize) {
    PreparedScene prepared;
    SceneFootprintOrReason read = LooksLikeHdf4(listed.text)
                                      ? reader.readHdf(std::string(listed.fullPath), worker)
                                      : reader.read(listed.text, listed.extent, worker);
    if (!read.scene) {
        // A file that gave no text at all is named for what keeps it from being read. An
        // empty line names the folder itself, which is no subfolder to recurse into.
        if (listed.text.empty() && listed.extent == TextExtent::Whole) {
            prepared.reason = listed.fullPath.size() == prefixSize
                                  ? "an empty line"
                                  : UnreadSceneReason(std::string(listed.fullPath), prefixSize);
            // A list made with `find /archive` names files from the root, not the folder.
            if (prepared.reason == "no such file" && listed.fullPath.size() > prefixSize &&
                listed.fullPath[prefixSize] == '/')
                prepared.reason += " (a listed path is read from the scene folder)";
        } else
            prepared.reason = std::move(read.reason);
        return prepared;
    }
    Scene& scene = prepared.scene.emplace();
    scene.number = listed.number;
    scene.fullPath = listed.fullPath;
    scene.metadata = std::move(read.scene->metadata);
    scene.shape = std::move(read.scene->shape);
    CleanSceneValues(scene.metadata);
    prepared.written = writer.prepare(scene, prepared.reason);
    if (!prepared.reason.empty())
        prepared.scene.reset();
    return prepared;
}

// The scene folder as the run found it, so that a share that goes away meanwhile (its
// server gone, or unmounted, when its mount point is there again, empty) fails the run
// rather than skip every file after as missing and publish what was read before.
class FolderWatch {
  public:
    explicit FolderWatch(const std::string& folderPrefix)
        : m_prefix(folderPrefix),
          m_known(StatAtAnyLength(AT_FDCWD, folderPrefix.c_str(), m_start, 0) == 0) {}

    // The error when the folder is no longer the one the run began with.
    std::optional<Error> goneAfter(std::int64_t done, std::int64_t total) const {
        struct stat now {};
        if (!m_known)
            return std::nullopt;
        int err = 0;
        if (StatAtAnyLength(AT_FDCWD, m_prefix.c_str(), now, 0) != 0)
            err = errno;
        else if (now.st_dev != m_start.st_dev || now.st_ino != m_start.st_ino)
            err = ENODEV;
        if (err == 0)
            return std::nullopt;
        return Error{err,
                     "The folder " + std::string(FolderOfPrefix(m_prefix)) +
                         " went away after " + std::to_string(done) + " of " +
                         std::to_string(total) + " listed files. Nothing was changed.",
                     "Check that the share is mounted and that its server answers, then run "
                     "again.",
                     ErrorKind::Other};
    }

  private:
    std::string m_prefix;
    struct stat m_start {};
    bool m_known;
};

// A run that read no scene would replace an earlier output with an empty one: a share
// not mounted, a pattern in the wrong case, files that all fail. The earlier one is kept.
// A list file with no line still empties the output, as it is meant to.
Error NothingRead(const SceneRunOptions& options, const SceneWriter& writer,
                  const SceneRunReport& report) {
    const std::string folder(FolderOfPrefix(options.folderPrefix));
    return Error{ENODATA,
                 (report.skipped > 0 ? "No listed file of " + folder + " gave a scene"
                                     : "No file of " + folder + " was found to read") +
                     ", so the earlier " + writer.shownOutput() + " was kept as it is",
                 "Check that the folder is there (a share mounted) and that its files are "
                 "readable scene metadata. To replace the output with an empty one, remove it "
                 "first.",
                 ErrorKind::Other};
}

std::optional<Error> RunListed(const SceneRunOptions& options, SceneWriter& writer,
                               SceneRunHost& host, SceneRunReport& report) {
    if (auto error = writer.plan())
        return error;
    ReadAheadSettings readAhead = options.readAhead;
    readAhead.wildcardsInLineOnly = true;
    // Images and HDF files listed beside the metadata are read no further than their heads.
    // Which HDF files' own metadata files the run reads too.
    ListedNames ownMetadata(options.folderPrefix, options.list, {".xml", ".met"});
    SceneFootprintReader reader(
        readAhead.workers(), ownMetadata,
        [&writer](const SceneMetadata& metadata) { return writer.takes(metadata); },
        [&host] { return host.cancelRequestedOnAnyThread(); });
    PreparedScenes<PreparedScene> scenes(
        readAhead,
        [&reader, &writer, &options](const ListedScene& listed, std::size_t worker) {
            return PrepareScene(reader, worker, writer, listed, options.folderPrefix.size());
        },
        reader.headFirst());
    if (auto error = scenes.open(options.folderPrefix, options.list)) {
        // What to do about a missing filelist.txt depends on whether its folder is there.
        if (options.list.path.empty())
            ExplainMissingList(*error, options.folderPrefix);
        return error;
    }
    const ReplacedFile replaced(writer.replacedFile());
    const std::string listPath = ListPath(options.folderPrefix, options.list.path);
    if (replaced.readBy(listPath))
        return ReadsTheOutput(writer, listPath, true);
    if (auto error = writer.start(host))
        return error;
    const FolderWatch folder(options.folderPrefix);
    ListedScene listed;
    PreparedScene prepared;
    while (scenes.next(listed, prepared)) {
        // A read may have been given up for the stop: this file counts as not read.
        if (host.cancelRequestedOnAnyThread())
            return StoppedAfter(listed.number - 1, scenes.total());
        if (replaced.is(listed.identity))
            return ReadsTheOutput(writer, listed.fullPath, false);
        // A file that gave no text may be one of a share that has gone.
        if (listed.text.empty())
            if (auto error = folder.goneAfter(listed.number - 1, scenes.total()))
                return error;
        if (prepared.scene) {
            prepared.scene->fullPath = listed.fullPath; // the view of this turn
            if (auto error = writer.write(*prepared.scene, *prepared.written, prepared.reason))
                return error;
            if (!prepared.reason.empty())
                prepared.scene.reset();
        }
        if (prepared.scene) {
            ++report.written;
        } else {
            report.countSkip(prepared.reason);
            host.skipped(listed.fullPath, prepared.reason);
        }
        host.progress(listed.number, scenes.total());
        if (host.cancelRequested())
            return StoppedAfter(listed.number, scenes.total());
    }
    if (scenes.error())
        return scenes.error();
    if (report.written == 0 && (report.skipped > 0 || options.listSearched) &&
        writer.replacesEarlier())
        return NothingRead(options, writer, report);
    if (auto error = writer.complete(host))
        return error;
    if (host.cancelRequested())
        return StoppedAfter(scenes.total(), scenes.total());
    return writer.publish(host);
}

} // namespace

void CleanSceneValues(SceneMetadata& metadata) {
    for (auto* text : {&metadata.granule, &metadata.product, &metadata.version, &metadata.dayNight})
        CleanText(*text);
    MakeUtf8(metadata.timeText);
    MakeUtf8(metadata.dateText);
    StripDataFileExtension(metadata.granule);
    metadata.sunAzimuth = Azimuth(metadata.sunAzimuth);
    metadata.sunElevation = InRange(metadata.sunElevation, -90, 90);
    metadata.cloud = InRange(metadata.cloud, 0, 100);
    // A range that ends before it begins, or has no beginning, gives no end.
    if (metadata.acquiredEnd && (!metadata.acquired || *metadata.acquiredEnd < *metadata.acquired))
        metadata.acquiredEnd.reset();
    CleanPlatforms(metadata);
}

std::string SkipKind(std::string_view reason) {
    for (const std::string_view where : {" at line ", " at offset "}) {
        const std::size_t at = reason.find(where);
        if (at != std::string_view::npos)
            reason = reason.substr(0, at);
    }
    // Which of a granule's polygons failed is where, not what.
    if (reason.starts_with("polygon ")) {
        const std::size_t digits = reason.find_first_not_of("0123456789", 8);
        for (const std::string_view then : {": ", " has "})
            if (digits > 8 && digits != reason.npos && reason.substr(digits).starts_with(then)) {
                reason.remove_prefix(digits + then.size());
                break;
            }
    }
    // What follows a colon is advice or a detail: the same kind either way.
    if (const std::size_t colon = reason.find(": "); colon != std::string_view::npos)
        reason = reason.substr(0, colon);
    for (const auto& [start, kind] : {std::pair<std::string_view, std::string_view>{
                                          "described by ", "described by its metadata file"},
                                      {"same granule as ", "same granule as another listed file"}})
        if (reason.starts_with(start))
            return std::string(kind);
    return std::string(reason);
}

void SceneRunReport::countSkip(std::string_view reason) {
    ++skipped;
    std::string kind = SkipKind(reason);
    if (skippedFor.size() >= kMaxSkipKinds)
        kind = "other reasons";
    for (SkipCount& counted : skippedFor) {
        if (counted.kind == kind) {
            ++counted.count;
            return;
        }
    }
    skippedFor.push_back({std::move(kind), 1});
}

std::string_view WithoutDataFileExtension(std::string_view name) {
    for (const std::string_view extension : kDataFileExtensions) {
        if (EndsWithNoCase(name, extension))
            return name.substr(0, name.size() - extension.size());
    }
    return name;
}

std::optional<Error> RunScenes(const SceneRunOptions& options, SceneWriter& writer,
                               SceneRunHost& host, SceneRunReport& report) {
    report = SceneRunReport{};
    try {
        return RunListed(options, writer, host, report);
    } catch (const std::bad_alloc&) {
        return Error{ENOMEM, "Not enough memory to write " + writer.shownOutput(),
                     "Close other programs, or split the list into several folders.",
                     ErrorKind::NoMemory};
    }
}

} // namespace aster
