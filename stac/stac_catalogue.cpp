#include "stac/stac_catalogue.h"

#include "catalogue/build_run.h"
#include "catalogue/list_reader.h"
#include "catalogue/scene_reader.h"
#include "fileio/directory.h"
#include "fileio/fd_stream_buf.h"
#include "fileio/folder.h"
#include "fileio/output_place.h"
#include "fileio/replacement_file.h"
#include "fileio/scratch_folder.h"
#include "fileio/unique_fd.h"
#include "fileio/utf8.h"
#include "metadata/scene_footprint.h"
#include "stac/asset_files.h"
#include "stac/item_ids.h"
#include "stac/stac_json.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <deque>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace aster {

namespace {

constexpr std::string_view kCollectionFile = "collection.json";

// What a listed file gives, made on the thread that read it: the item and its JSON, made
// with the id it will have unless another item takes that, or the reason for none.
struct PreparedItem {
    std::string reason;
    std::optional<StacItem> item;
    std::string granuleStem; // UTF-8; empty without a granule ID
    std::string nameStem;    // UTF-8
    std::string json;        // the item as written, with item->id
    // In a static catalogue, the folder in the scratch folder that the reading thread
    // wrote the item's file to (see ItemFolderAside); empty when it wrote none.
    std::string aside;
    int asideErrno = 0; // why that folder could not be written
};

// The folder a reading thread writes an item to before the run knows the item's id:
// named for the scene's line in the list, with a leading "." that no id has.
std::string ItemFolderAside(std::int32_t sceneNumber) {
    return ".scene-" + std::to_string(sceneNumber);
}

bool EndsWithNoCase(std::string_view text, std::string_view end) {
    if (text.size() < end.size())
        return false;
    text = text.substr(text.size() - end.size());
    return std::equal(text.begin(), text.end(), end.begin(), [](char a, char b) {
        return (a >= 'A' && a <= 'Z' ? a - 'A' + 'a' : a) == b;
    });
}

Error ExistsError(const std::string& path) {
    Error error = SystemError(EEXIST, path);
    error.kind = ErrorKind::OutputExists;
    return error;
}

std::optional<double> Percent(const std::optional<double>& value) {
    if (value && std::isfinite(*value) && *value >= 0 && *value <= 100)
        return value;
    return std::nullopt;
}

// Degrees clockwise from north in [0, 360).
std::optional<double> Azimuth(const std::optional<double>& value) {
    if (!value || !std::isfinite(*value))
        return std::nullopt;
    double azimuth = std::fmod(*value, 360.0);
    if (azimuth < 0)
        azimuth += 360;
    return azimuth >= 360 ? 0 : azimuth; // a tiny negative angle rounds up to 360
}

std::optional<double> Elevation(const std::optional<double>& value) {
    if (value && std::isfinite(*value) && *value >= -90 && *value <= 90)
        return value;
    return std::nullopt;
}

std::optional<std::string> TextOf(const std::optional<std::string>& value) {
    if (!value || value->empty())
        return std::nullopt;
    return Utf8FromBytes(*value);
}

// The mode a new folder gets here: 0777 less the process's umask, read without changing it.
mode_t NewFolderMode() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("Umask:"))
            return 0777 & ~static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8));
    }
    return 0755;
}

// Writes `bytes` to a new file `path` inside the folder `dirFd`; 0 or an errno value.
int WriteNewFile(int dirFd, const std::string& path, std::string_view bytes) {
    UniqueFd fd(
        ::openat(dirFd, path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!fd)
        return errno;
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd.get(), bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return written < 0 ? errno : EIO;
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return ::close(fd.release()) == 0 ? 0 : errno;
}

// The whole of the file `path` inside `dirFd`; 0 or an errno value.
int ReadFileAt(int dirFd, const std::string& path, std::string& bytes) {
    const UniqueFd fd(::openat(dirFd, path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0)
        return errno;
    bytes.resize(static_cast<std::size_t>(info.st_size));
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t got =
            ::pread(fd.get(), bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return got < 0 ? errno : EIO;
        done += static_cast<std::size_t>(got);
    }
    return 0;
}

class StacRun {
  public:
    StacRun(const std::string& folderPrefix, const StacOptions& options, StacReport& report,
            StacHost& host)
        : m_folderPrefix(folderPrefix), m_options(options), m_report(report), m_host(host) {}

    std::optional<Error> run(ScratchFolder& scratch, ReplacementFile& file);

  private:
    std::optional<Error> placeOutput();
    std::optional<Error> checkEarlierCatalogue(bool& exists) const;
    PreparedItem prepare(const ListedScene& scene);
    std::optional<Error> writeItem(int scratchFd, std::string_view id, const std::string& json);
    std::optional<Error> placeItem(int scratchFd, const PreparedItem& prepared,
                                   const std::string& writtenAs);
    std::optional<Error> fixCatalogueIds(int scratchFd);
    std::optional<Error> fixItemCollectionIds(ReplacementFile& first, ReplacementFile& second);
    std::optional<Error> writeCollection(int scratchFd);
    void reportIdChanges();
    std::vector<bool> changedItems(std::size_t& count) const;

    const std::string& m_folderPrefix;
    const StacOptions& m_options;
    StacReport& m_report;
    StacHost& m_host;

    bool m_static = true;
    std::string m_outputPath;   // absolute, in normal form
    std::string m_outputFolder; // its folder
    std::string m_outputName;
    StacCollection m_collection;

    // The scratch folder of a static catalogue, for the reading threads to write items
    // into; -1 until it is made.
    std::atomic<int> m_scratchFd{-1};
    SceneFootprintReader m_reader;
    FolderNamesCache m_names;
    ItemIds m_ids;
    std::deque<std::int32_t> m_numbers; // each item's line in the list, never copied on growth
};

std::optional<Error> StacRun::placeOutput() {
    m_static = !IsItemCollectionPath(m_options.outputPath);
    if (auto error = NormalFolderPath(m_options.outputPath, m_outputPath))
        return error;
    const std::size_t slash = m_outputPath.rfind('/');
    m_outputName = m_outputPath.substr(slash + 1);
    m_outputFolder = slash == 0 ? "/" : m_outputPath.substr(0, slash);
    if (m_outputName.empty())
        return Error{EINVAL,
                     "No name in the output path " + m_options.outputPath,
                     "Name the catalogue's folder, or a .json file for an ItemCollection.",
                     {}};

    std::string sceneFolder;
    if (auto error = NormalFolderPath(m_folderPrefix, sceneFolder))
        return error;
    const std::string_view folderName =
        std::string_view(sceneFolder).substr(sceneFolder.rfind('/') + 1);
    m_collection.id = CollectionIdOf(folderName);
    m_collection.title = folderName.empty() ? "/" : Utf8FromBytes(folderName);
    m_collection.description = "ASTER scenes of the folder " + m_collection.title +
                               ", as their scene metadata files describe them.";
    // Replacing the folder of the scenes, or one that holds it, would take them along.
    if (m_static && (sceneFolder == m_outputPath || sceneFolder.starts_with(m_outputPath + "/") ||
                     m_outputPath == "/"))
        return Error{EINVAL,
                     "The catalogue cannot take the place of the folder its scenes are in: " +
                         m_options.outputPath,
                     "Name a folder for the catalogue outside the scene folder.", ErrorKind::Other};
    m_collection.license = m_options.license;
    return std::nullopt;
}

// What keeps an earlier folder from being replaced: anything that this tool's static
// catalogue does not hold. That is collection.json, a STAC Collection, and beside it only
// item folders, each holding only its item <folder>.json. A user's own files never go
// with a replaced catalogue. Nothing when the folder is such a catalogue.
std::optional<Error> NotACatalogue(int folderFd, const std::string& path, std::string& what) {
    constexpr std::size_t kMaxCollectionBytes = 256u << 20;
    bool hasCollection = false;
    std::optional<Error> error;
    const auto readItemFolder = [&](std::string_view name) {
        const std::string folder(name);
        const UniqueFd item(
            ::openat(folderFd, folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!item) {
            error = SystemError(errno, path + "/" + folder);
            return;
        }
        const std::string itemFile = folder + ".json";
        bool hasItem = false;
        error = ReadDirectoryAt(item.get(), path + "/" + folder, [&](const DirectoryEntry& entry) {
            if (!what.empty())
                return;
            if (entry.name() == itemFile && entry.kind() == EntryKind::File)
                hasItem = true;
            else
                what = folder + "/" + std::string(entry.name()) + ", which aster does not write";
        });
        if (!error && what.empty() && !hasItem)
            what = "the empty folder " + folder + ", which aster does not write";
    };
    const std::optional<Error> read =
        ReadDirectoryAt(folderFd, path, [&](const DirectoryEntry& entry) {
            if (!what.empty() || error)
                return;
            if (entry.name() == kCollectionFile && entry.kind() == EntryKind::File)
                hasCollection = true;
            else if (entry.kind() == EntryKind::Folder)
                readItemFolder(entry.name());
            else
                what = std::string(entry.name()) + ", which aster does not write";
        });
    if (read)
        return read;
    if (error || !what.empty())
        return error;
    if (!hasCollection) {
        what = "no collection.json";
        return std::nullopt;
    }
    const UniqueFd file(::openat(folderFd, std::string(kCollectionFile).c_str(),
                                 O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (!file || ::fstat(file.get(), &info) != 0)
        return SystemError(errno, path + "/" + std::string(kCollectionFile));
    std::string json;
    if (S_ISREG(info.st_mode) && static_cast<std::uint64_t>(info.st_size) <= kMaxCollectionBytes) {
        json.resize(static_cast<std::size_t>(info.st_size));
        std::size_t done = 0;
        while (done < json.size()) {
            const ssize_t got = ::read(file.get(), json.data() + done, json.size() - done);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                return SystemError(errno, path + "/" + std::string(kCollectionFile));
            if (got == 0)
                break;
            done += static_cast<std::size_t>(got);
        }
        json.resize(done);
    }
    if (!IsStacCollection(json))
        what = "a collection.json that is no STAC Collection";
    return std::nullopt;
}

// An earlier static catalogue is replaced only with --overwrite, and only when it is one
// that this tool wrote, or an empty folder.
std::optional<Error> StacRun::checkEarlierCatalogue(bool& exists) const {
    const std::string& path = m_options.outputPath;
    struct stat info {};
    exists = ::lstat(m_outputPath.c_str(), &info) == 0;
    if (!exists)
        return errno == ENOENT ? std::nullopt : std::optional<Error>(SystemError(errno, path));
    if (!m_options.overwrite)
        return ExistsError(path);
    if (!S_ISDIR(info.st_mode))
        return Error{ENOTDIR, "Not a catalogue's folder, so not replaced: " + path,
                     "A static catalogue is a folder: name a new one, or end the name in .json "
                     "to write an ItemCollection.",
                     ErrorKind::Other};
    const UniqueFd folder(
        ::open(m_outputPath.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder)
        return SystemError(errno, path);
    bool empty = true;
    if (auto error =
            ReadDirectoryAt(folder.get(), path, [&empty](const DirectoryEntry&) { empty = false; }))
        return error;
    if (empty)
        return std::nullopt;
    std::string what;
    if (auto error = NotACatalogue(folder.get(), path, what))
        return error;
    if (what.empty())
        return std::nullopt;
    return Error{ENOTEMPTY,
                 "Not a catalogue that aster wrote, so not replaced: " + path + " holds " + what,
                 "Name a new folder or an empty one for the catalogue. Nothing was changed.",
                 ErrorKind::Other};
}

PreparedItem StacRun::prepare(const ListedScene& scene) {
    PreparedItem prepared;
    SceneFootprintOrReason read = m_reader.read(scene.text, scene.extent);
    if (!read.scene) {
        // A file that gave no text at all is named for what keeps it from being read.
        prepared.reason = scene.text.empty() && scene.extent == TextExtent::Whole
                              ? UnreadSceneReason(std::string(scene.fullPath))
                              : std::move(read.reason);
        return prepared;
    }
    SceneMetadata& metadata = read.scene->metadata;
    if (!metadata.acquired) {
        prepared.reason = "no acquisition time";
        return prepared;
    }
    const std::string_view path = scene.fullPath;
    const std::size_t slash = path.rfind('/');
    const std::string_view name = path.substr(slash + 1);
    std::string folder;
    if (NormalFolderPath(slash == 0 ? "/" : path.substr(0, slash), folder))
        folder = path.substr(0, slash);
    const std::shared_ptr<const FolderNames> names = m_names.names(folder);
    const std::string hrefBase = m_static ? "../" + RelativeFolderHref(m_outputPath, folder)
                                          : RelativeFolderHref(m_outputFolder, folder);
    const std::string_view rawStem = metadata.granule ? GranuleStem(*metadata.granule) : "";

    StacItem item;
    item.assets = SceneAssets(names.get(), name, metadata.layout, rawStem, hrefBase);
    prepared.granuleStem = Utf8FromBytes(rawStem);
    prepared.nameStem = Utf8FromBytes(NameStem(name));
    item.id = IsSafeId(prepared.granuleStem) ? prepared.granuleStem
              : IsSafeId(prepared.nameStem)  ? prepared.nameStem
                                             : "scene-" + std::to_string(scene.number);
    item.collection = m_collection.id;
    item.collectionHref = m_static ? "../collection.json" : "./collection.json";
    item.inCatalogue = m_static;
    item.shape = std::move(read.scene->shape);
    item.bbox = BoundsOf(item.shape);
    item.datetime = *metadata.acquired;
    item.cloudCover = Percent(metadata.cloud);
    item.sunAzimuth = Azimuth(metadata.sunAzimuth);
    item.sunElevation = Elevation(metadata.sunElevation);
    item.shortName = TextOf(metadata.product);
    item.version = TextOf(metadata.version);
    prepared.json = m_static ? PrettyItem(item) : CompactItem(item);
    // The reading threads create the items' folders and files, the larger part of a
    // static catalogue's time, beside the run's own thread; that one then only renames
    // each folder to its item's id in list order.
    const int scratchFd = m_static ? m_scratchFd.load() : -1;
    if (scratchFd >= 0) {
        std::string aside = ItemFolderAside(scene.number);
        const std::string file = aside + "/" + item.id + ".json";
        if (::mkdirat(scratchFd, aside.c_str(), 0777) != 0)
            prepared.asideErrno = errno;
        else
            prepared.asideErrno = WriteNewFile(scratchFd, file, prepared.json);
        prepared.aside = std::move(aside);
    }
    prepared.item = std::move(item);
    return prepared;
}

std::optional<Error> StacRun::writeItem(int scratchFd, std::string_view id,
                                        const std::string& json) {
    const std::string folder(id);
    if (::mkdirat(scratchFd, folder.c_str(), 0777) != 0)
        return SystemError(errno, m_options.outputPath + "/" + folder);
    if (const int err = WriteNewFile(scratchFd, folder + "/" + folder + ".json", json))
        return SystemError(err, m_options.outputPath + "/" + folder);
    return std::nullopt;
}

// Puts an item that a reading thread wrote aside (see PreparedItem) in its folder, named
// for the id the run gave it; `writtenAs` is the id the file was written with, when that
// was another, and the file is then written again.
std::optional<Error> StacRun::placeItem(int scratchFd, const PreparedItem& prepared,
                                        const std::string& writtenAs) {
    const std::string& id = prepared.item->id;
    const std::string where = m_options.outputPath + "/" + id;
    if (prepared.asideErrno != 0)
        return SystemError(prepared.asideErrno, where);
    if (!writtenAs.empty()) {
        const std::string before = prepared.aside + "/" + writtenAs + ".json";
        if (const int err =
                WriteNewFile(scratchFd, prepared.aside + "/" + id + ".json", prepared.json))
            return SystemError(err, where);
        if (::unlinkat(scratchFd, before.c_str(), 0) != 0)
            return SystemError(errno, where);
    }
    if (::renameat(scratchFd, prepared.aside.c_str(), scratchFd, id.c_str()) != 0)
        return SystemError(errno, where);
    return std::nullopt;
}

std::vector<bool> StacRun::changedItems(std::size_t& count) const {
    std::vector<bool> changed(m_ids.size());
    count = 0;
    for (std::size_t i = 0; i < m_ids.size(); ++i) {
        changed[i] = m_ids.finalId(i) != m_ids.provisionalId(i);
        count += changed[i] ? 1 : 0;
    }
    return changed;
}

// Items whose id changed at the end are moved aside first, so that an id one gives up
// while another takes it never meets itself, then each is written again with its id and
// moved to its own folder.
std::optional<Error> StacRun::fixCatalogueIds(int scratchFd) {
    std::size_t count = 0;
    const std::vector<bool> changed = changedItems(count);
    if (count == 0)
        return std::nullopt;
    const auto aside = [](std::size_t item) { return ".item-" + std::to_string(item); };
    for (std::size_t i = 0; i < changed.size(); ++i) {
        if (changed[i] && ::renameat(scratchFd, std::string(m_ids.provisionalId(i)).c_str(),
                                     scratchFd, aside(i).c_str()) != 0)
            return SystemError(errno, m_options.outputPath);
    }
    std::string json, fixed;
    for (std::size_t i = 0; i < changed.size(); ++i) {
        if (!changed[i])
            continue;
        const std::string folder = aside(i);
        const std::string before = folder + "/" + std::string(m_ids.provisionalId(i)) + ".json";
        const std::string id(m_ids.finalId(i));
        if (const int err = ReadFileAt(scratchFd, before, json))
            return SystemError(err, m_options.outputPath);
        if (!ReplaceItemId(json, id, true, fixed))
            return Error{EIO, "An item written to " + m_options.outputPath + " reads back wrong",
                         "Nothing was changed. Check the disk, then try again."};
        if (const int err = WriteNewFile(scratchFd, folder + "/" + id + ".json", fixed))
            return SystemError(err, m_options.outputPath);
        if (::unlinkat(scratchFd, before.c_str(), 0) != 0 ||
            ::renameat(scratchFd, folder.c_str(), scratchFd, id.c_str()) != 0)
            return SystemError(errno, m_options.outputPath);
    }
    return std::nullopt;
}

// The ItemCollection again, with the features whose id changed at the end written anew:
// read back from the first file a line at a time, so the file's size does not matter.
std::optional<Error> StacRun::fixItemCollectionIds(ReplacementFile& first,
                                                   ReplacementFile& second) {
    std::size_t count = 0;
    const std::vector<bool> changed = changedItems(count);
    if (count == 0)
        return std::nullopt;
    first.stream().flush();
    if (auto error = first.check())
        return error;
    if (auto error = second.create(FolderPrefix(m_outputFolder), m_outputName))
        return error;
    ItemCollectionWriter writer(second.stream());
    std::string pending, fixed;
    std::vector<char> chunk(1 << 16);
    std::size_t feature = 0;
    off_t offset = 0;
    const auto takeLine = [&](std::string_view line) {
        const std::optional<std::string_view> json = FeatureOnLine(line);
        if (!json)
            return true;
        const std::size_t item = feature++;
        if (item >= changed.size())
            return false;
        if (!changed[item]) {
            writer.add(*json);
            return true;
        }
        if (!ReplaceItemId(*json, m_ids.finalId(item), false, fixed))
            return false;
        writer.add(fixed);
        return true;
    };
    for (;;) {
        const ssize_t got = ::pread(first.fd(), chunk.data(), chunk.size(), offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return SystemError(errno, m_options.outputPath);
        if (got == 0)
            break;
        offset += got;
        pending.append(chunk.data(), static_cast<std::size_t>(got));
        std::size_t start = 0;
        for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos;
             start = end + 1) {
            if (!takeLine(std::string_view(pending).substr(start, end - start)))
                return Error{EIO,
                             "The items written to " + m_options.outputPath + " read back wrong",
                             "Nothing was changed. Check the disk, then try again."};
        }
        pending.erase(0, start);
    }
    if (feature != changed.size())
        return Error{EIO, "The items written to " + m_options.outputPath + " read back wrong",
                     "Nothing was changed. Check the disk, then try again."};
    writer.finish();
    return std::nullopt;
}

std::optional<Error> StacRun::writeCollection(int scratchFd) {
    UniqueFd fd(::openat(scratchFd, std::string(kCollectionFile).c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!fd)
        return SystemError(errno, m_options.outputPath);
    {
        FdStreamBuf buffer(fd.get());
        std::ostream out(&buffer);
        WriteCollectionDocument(out, m_collection, m_ids.size(),
                                [this](std::size_t item) { return ItemHref(m_ids.finalId(item)); });
        out.flush();
        if (buffer.failedErrno() != 0)
            return SystemError(buffer.failedErrno(), m_options.outputPath);
        if (!out)
            return SystemError(EIO, m_options.outputPath);
    }
    if (::close(fd.release()) != 0)
        return SystemError(errno, m_options.outputPath);
    return std::nullopt;
}

// Names the listed files whose items have another id than their own, with why: the
// list is read again for their paths, which the run does not keep.
void StacRun::reportIdChanges() {
    std::vector<std::pair<std::size_t, std::string>> changes;
    for (std::size_t i = 0; i < m_ids.size(); ++i) {
        std::string why = m_ids.change(i);
        if (!why.empty())
            changes.emplace_back(i, std::move(why));
    }
    if (changes.empty())
        return;
    ListReader list;
    if (list.open(m_folderPrefix + "filelist.txt"))
        return;
    std::string line;
    std::int32_t number = 0;
    for (const auto& [item, why] : changes) {
        while (number < m_numbers[item] && !list.atEnd()) {
            list.readLine(line);
            ++number;
        }
        if (number != m_numbers[item])
            return;
        m_host.idChanged(m_folderPrefix + line, m_ids.finalId(item), why);
    }
}

std::optional<Error> StacRun::run(ScratchFolder& scratch, ReplacementFile& file) {
    if (auto error = placeOutput())
        return error;
    if (auto error = CheckOutputPlace(m_outputPath, m_options.outputPath))
        return error;
    PreparedScenes<PreparedItem> scenes(
        m_options.readAhead, [this](const ListedScene& scene) { return prepare(scene); },
        m_reader.headFirst());
    if (auto error = scenes.open(m_folderPrefix)) {
        ExplainMissingList(*error, m_folderPrefix);
        return error;
    }

    bool replacing = false;
    std::optional<ItemCollectionWriter> features;
    // A run that was killed left its scratch folder or file here.
    RemoveStaleScratch(m_outputFolder);
    if (m_static) {
        if (auto error = checkEarlierCatalogue(replacing))
            return error;
        if (auto error = scratch.create(m_outputFolder, m_options.outputPath))
            return error;
        // Items the reading threads prepared before this are written in their turn.
        m_scratchFd.store(scratch.fd());
    } else {
        struct stat info {};
        if (!m_options.overwrite && ::lstat(m_outputPath.c_str(), &info) == 0)
            return ExistsError(m_options.outputPath);
        if (auto error = file.create(FolderPrefix(m_outputFolder), m_outputName))
            return error;
        features.emplace(file.stream());
    }

    ListedScene scene;
    PreparedItem prepared;
    StacExtent& extent = m_collection.extent;
    while (scenes.next(scene, prepared)) {
        if (!prepared.item) {
            ++m_report.skipped;
            m_host.skipped(scene.fullPath, prepared.reason);
        } else {
            StacItem& item = *prepared.item;
            const std::string_view id =
                m_ids.add(prepared.granuleStem, prepared.nameStem, scene.number);
            std::string writtenAs;
            if (id != item.id) {
                writtenAs = std::exchange(item.id, std::string(id));
                prepared.json = m_static ? PrettyItem(item) : CompactItem(item);
            }
            if (m_static) {
                if (auto error = prepared.aside.empty()
                                     ? writeItem(scratch.fd(), item.id, prepared.json)
                                     : placeItem(scratch.fd(), prepared, writtenAs))
                    return error;
                extent.add(item.bbox, item.datetime);
            } else {
                features->add(prepared.json);
            }
            m_numbers.push_back(scene.number);
            ++m_report.written;
        }
        m_host.progress(scene.number, scenes.total());
        if (m_host.cancelRequested())
            return StoppedAfter(scene.number, scenes.total());
    }
    if (scenes.error())
        return scenes.error();

    m_ids.finish();
    reportIdChanges();
    if (!m_static) {
        features->finish();
        ReplacementFile second;
        if (auto error = fixItemCollectionIds(file, second))
            return error;
        ReplacementFile& final = second.fd() >= 0 ? second : file;
        final.stream().flush();
        if (auto error = final.check())
            return error;
        if (m_host.cancelRequested())
            return StoppedAfter(scenes.total(), scenes.total());
        return PublishTogether({&final});
    }

    if (auto error = fixCatalogueIds(scratch.fd()))
        return error;
    if (auto error = writeCollection(scratch.fd()))
        return error;
    // One flush of the whole file system rather than one per file: a hundred thousand
    // fsyncs would take many times as long as writing the files.
    if (::syncfs(scratch.fd()) != 0)
        return SystemError(errno, m_options.outputPath);
    if (m_host.cancelRequested())
        return StoppedAfter(scenes.total(), scenes.total());
    struct stat earlier {};
    const mode_t mode = replacing && ::stat(m_outputPath.c_str(), &earlier) == 0
                            ? earlier.st_mode & 07777
                            : NewFolderMode();
    ::fchmod(scratch.fd(), mode);
    std::optional<Error> moved = scratch.moveTo(m_outputName, replacing, m_options.outputPath);
    if (moved && !replacing && (moved->code == EEXIST || moved->code == ENOTEMPTY)) {
        // Made while this run worked: judged as if it had been there from the start,
        // refused with the same advice, or replaced with --overwrite when it may be.
        bool exists = false;
        if (auto error = checkEarlierCatalogue(exists))
            return error;
        if (exists)
            moved = scratch.moveTo(m_outputName, true, m_options.outputPath);
    }
    return moved;
}

} // namespace

bool IsItemCollectionPath(std::string_view outputPath) {
    return EndsWithNoCase(outputPath, ".json") || EndsWithNoCase(outputPath, ".geojson");
}

std::string CollectionIdOf(std::string_view folderName) {
    std::string id;
    bool gap = false;
    for (const char c : folderName) {
        const bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
        if (!kept) {
            gap = true;
            continue;
        }
        if (gap && !id.empty())
            id += '-';
        gap = false;
        id += c;
    }
    while (!id.empty() && (id.front() == '-' || id.front() == '.'))
        id.erase(0, 1);
    while (!id.empty() && (id.back() == '-' || id.back() == '.'))
        id.pop_back();
    return id.empty() ? "aster-scenes" : id;
}

std::optional<Error> WriteStac(const std::string& folderPrefix, const StacOptions& options,
                               StacReport& report, StacHost& host) {
    report = StacReport{};
    // Declared before the run, whose reading threads end first, and removed with
    // everything in them unless they were moved into place.
    ScratchFolder scratch;
    ReplacementFile file;
    try {
        StacRun run(folderPrefix, options, report, host);
        return run.run(scratch, file);
    } catch (const std::bad_alloc&) {
        return Error{ENOMEM, "Not enough memory to write " + options.outputPath,
                     "Close other programs, or split the list into several folders.",
                     ErrorKind::NoMemory};
    }
}

} // namespace aster
