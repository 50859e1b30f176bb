#pragma once

#include "fileio/directory.h"
#include "fileio/error.h"
#include "fileio/unique_fd.h"
#include "metadata/scene_metadata.h"
#include "stac/stac_json.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace aster {

// The names of one folder's files (and links), read once and kept sorted, so that the
// files beside a scene are found by a search instead of a read of the folder. A folder
// of more names than kMemoryBytes holds is sorted in parts into an unnamed file, merged
// there, and found through the first name of every kBlockNames: its names then cost the
// system's page cache, not the process.
class FolderNames {
  public:
    static constexpr std::size_t kMemoryBytes = 4 << 20;
    static constexpr std::size_t kBlockNames = 64;

    // Reads `folder` through ReadDirectory, sorting what memory does not hold in an
    // unnamed file in `spillFolder`, whose failures name `shownAs` (a folder too large is
    // left unread when `spillFolder` is empty). Folders, FIFOs, sockets and devices are
    // left out: they are no files to point at, and nothing here is ever opened.
    // `memoryBytes` is for tests.
    std::optional<Error> read(const std::string& folder, const std::string& spillFolder = {},
                              const std::string& shownAs = {},
                              std::size_t memoryBytes = kMemoryBytes,
                              const KeepReading& keepReading = {});
    // The names that start with `prefix`, in byte order. A failure to read them back
    // from the file is kept (searchError()); may be called on several threads at once.
    std::vector<std::string> startingWith(std::string_view prefix) const;
    std::size_t size() const { return m_count; }
    // Whether any name ends in .hdf, in any case: most folders of metadata hold none, and
    // then no item needs a search for its HDF file.
    bool holdsHdf() const { return m_holdsHdf; }
    // After read() failed: whether the folder was read and keeping its names failed.
    bool failedAside() const { return m_keptAside; }
    // The errno value of the first search that could not read the file, or 0.
    int searchError() const { return m_searchError; }

  private:
    std::optional<Error> spill();
    std::optional<Error> merge(std::uint64_t end);

    std::size_t m_count = 0;
    bool m_holdsHdf = false;
    bool m_keptAside = false;
    mutable std::atomic<int> m_searchError{0};
    // In memory: every name, or the first of each block when they are in the file.
    std::string m_names;                 // each name followed by a NUL
    std::vector<std::uint32_t> m_offsets; // sorted by the names they start
    // In the file: sorted parts, then all of them merged, each name after a byte of its
    // length, in blocks of kBlockNames.
    UniqueFd m_file;
    std::string m_spillFolder;
    std::string m_shownAs; // what the spill file's failures name
    std::vector<std::pair<std::uint64_t, std::uint64_t>> m_parts; // where each lies
    std::vector<std::uint64_t> m_blocks; // where each block starts, and the end
};

// The FolderNames of the folders a run's scenes lie in, each read once when first asked
// for, by the one thread that asks first: the others that ask meanwhile wait for it, so
// that a folder of many files is never held several times over. Only the most recently
// asked kMaxFolders are kept, so that a list of scenes in a folder each holds no more
// than that many; a folder asked for again after it was let go is read again. May be
// asked on several threads at once.
class FolderNamesCache {
  public:
    static constexpr std::size_t kMaxFolders = 64;

    // Where folders of more names than `memoryBytes` hold are sorted, in an unnamed file
    // whose failures name `shownAs`, the output it serves; none by default.
    void setSpillFolder(std::string folder, std::string shownAs,
                        std::size_t memoryBytes = FolderNames::kMemoryBytes) {
        m_spillFolder = std::move(folder);
        m_spillShownAs = std::move(shownAs);
        m_memoryBytes = memoryBytes;
    }

    // The names of `folder` (a normal path), or nothing when it cannot be read: its
    // scenes then have no files beside them. A folder that was read but whose names could
    // not be kept aside is nothing too, and its error is kept for failure().
    std::shared_ptr<const FolderNames> names(const std::string& folder);
    // Asked, on any thread, while a folder is read: false stops the read, and the folder
    // then gives no names.
    void setKeepReading(std::function<bool()> keepReading) {
        m_keepReading = std::move(keepReading);
    }
    // Keeps the first error that leaves a scene without the files beside it.
    void fail(Error error);
    std::optional<Error> failure();

  private:
    std::string m_spillFolder;
    std::string m_spillShownAs;
    std::size_t m_memoryBytes = FolderNames::kMemoryBytes;
    std::function<bool()> m_keepReading;
    struct Entry {
        std::once_flag read;
        std::shared_ptr<const FolderNames> names; // set once, under `read`
    };
    std::mutex m_mutex;
    std::optional<Error> m_failure; // guarded by m_mutex
    std::atomic<bool> m_failed{false}; // m_failure is set: asked after every scene
    // The folders kept, the most recently asked first; guarded by m_mutex.
    std::vector<std::pair<std::string, std::shared_ptr<Entry>>> m_recent;
};

// The way from the folder `from` to the folder `to`, both absolute and in normal form, as
// the start of a relative URI reference: "" for the same folder, else names or ".." each
// followed by "/" ("../../scenes/"), each name percent-encoded as its bytes.
std::string RelativeFolderHref(std::string_view from, std::string_view to);

// The key, media type and role of a file beside a scene, from what its name has after the
// granule's ID (`suffix`, e.g. "_V.tif", ".hdf", "_QA.txt"). The key is "hdf", "browse",
// "qa", "xml" or "met" for those files, else the suffix without its separators and its
// extension ("V", "T"), or without its separators alone ("tif"); "file" when that leaves
// nothing. The caller makes it unique.
StacAsset AssetOfSuffix(std::string_view suffix);

// The scene's metadata file as an asset: key "metadata", its layout's media type; an
// HDF-EOS file, which holds its own metadata, is data as well.
StacAsset MetadataAsset(MetadataLayout layout);

// The assets of one scene: its metadata file `metadataName`, first, then every other file
// in the same folder that belongs to the granule `stem` (none when `stem` is empty): its
// name starts with `stem` and ".", "_", "-" or its end follows, and no longer granule of
// the folder starts it so (see asset_files.cpp), in byte order, the first JPEG's roles
// "thumbnail" and "overview", keys made unique with "-2", "-3"..., kMaxAssets in all at most. Each href is `hrefBase` (the way from the
// item's file to the folder, see RelativeFolderHref) and the name, percent-encoded.
inline constexpr std::size_t kMaxAssets = 1000;
std::vector<StacAsset> SceneAssets(const FolderNames* names, std::string_view metadataName,
                                   MetadataLayout layout, std::string_view stem,
                                   std::string_view hrefBase);

} // namespace aster
