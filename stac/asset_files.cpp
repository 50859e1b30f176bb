#include "stac/asset_files.h"

#include "fileio/ascii.h"
#include "fileio/directory.h"
#include "fileio/long_path.h"
#include "fileio/unnamed_file.h"
#include "fileio/utf8.h"
#include "fileio/whole_file.h"
#include "metadata/scene_run.h"
#include "stac/percent_encoding.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <unordered_set>

#include <sys/stat.h>

namespace aster {

namespace {

std::string_view NameAt(const std::string& names, std::uint32_t offset) {
    return std::string_view(names.data() + offset);
}

// Sorts `offsets` by the names they start in `names` (each ended by a NUL), in byte
// order. The names of a folder mostly share a long start ("AST_L1B_00..."), so comparing
// them as texts spends the sort on those bytes, reached through the names' memory: it
// sorts numbers instead, eight bytes of each name past the start its group shares, and
// sorts each group whose eight bytes are equal again by the bytes after them.
void SortNames(const std::string& names, std::vector<std::uint32_t>& offsets) {
    struct Keyed {
        std::uint64_t key;
        std::uint32_t offset;
    };
    std::vector<Keyed> keyed(offsets.size());
    for (std::size_t i = 0; i < offsets.size(); ++i)
        keyed[i].offset = offsets[i];
    const char* const text = names.data();
    struct Group {
        std::size_t begin, end, depth; // names [begin, end) are equal in their first `depth` bytes
    };
    std::vector<Group> groups{{0, keyed.size(), 0}};
    while (!groups.empty()) {
        Group group = groups.back();
        groups.pop_back();
        if (group.end - group.begin < 2)
            continue;
        // Past the bytes the whole group shares, which are all the same to the sort.
        const char* const first = text + keyed[group.begin].offset;
        std::size_t shared = std::strlen(first + group.depth);
        for (std::size_t i = group.begin + 1; i < group.end && shared > 0; ++i) {
            const char* name = text + keyed[i].offset + group.depth;
            std::size_t same = 0;
            while (same < shared && name[same] == first[group.depth + same])
                ++same;
            shared = same;
        }
        const std::size_t depth = group.depth + shared;
        for (std::size_t i = group.begin; i < group.end; ++i) {
            const char* rest = text + keyed[i].offset + depth;
            std::uint64_t key = 0;
            std::size_t n = 0;
            for (; n < 8 && rest[n] != '\0'; ++n)
                key = key << 8 | static_cast<unsigned char>(rest[n]);
            // A name that ends comes before the longer; one that ended before the key has 0.
            keyed[i].key = n == 0 ? 0 : key << (8 * (8 - n));
        }
        const auto begin = keyed.begin() + static_cast<std::ptrdiff_t>(group.begin);
        const auto end = keyed.begin() + static_cast<std::ptrdiff_t>(group.end);
        std::sort(begin, end, [](const Keyed& a, const Keyed& b) { return a.key < b.key; });
        // Names of equal keys that go on past them are sorted again by what follows; a
        // key that holds a name's end holds all of it, and a folder has no name twice.
        for (std::size_t i = group.begin; i < group.end;) {
            std::size_t j = i + 1;
            while (j < group.end && keyed[j].key == keyed[i].key)
                ++j;
            if (j - i > 1 && (keyed[i].key & 0xFF) != 0)
                groups.push_back({i, j, depth + 8});
            i = j;
        }
    }
    for (std::size_t i = 0; i < keyed.size(); ++i)
        offsets[i] = keyed[i].offset;
}

bool IsSeparator(char c) {
    return c == '.' || c == '_' || c == '-';
}

// The names of a path's folders, in order.
std::vector<std::string_view> Components(std::string_view path) {
    std::vector<std::string_view> parts;
    while (!path.empty()) {
        const std::size_t slash = path.find('/');
        const std::string_view part = path.substr(0, slash);
        if (!part.empty())
            parts.push_back(part);
        if (slash == std::string_view::npos)
            break;
        path.remove_prefix(slash + 1);
    }
    return parts;
}

struct Kind {
    std::string_view extension; // with its dot, in lower case
    std::string_view type;
    std::string_view role;
};

constexpr Kind kKinds[] = {
    {".hdf", "application/x-hdf", "data"},
    {".tif", "image/tiff; application=geotiff", "data"},
    {".tiff", "image/tiff; application=geotiff", "data"},
    {".jpg", "image/jpeg", "overview"},
    {".jpeg", "image/jpeg", "overview"},
    {".txt", "text/plain", "metadata"},
    {".xml", "application/xml", "metadata"},
    {".met", "text/plain", "metadata"},
};

// The few files every granule has, under the keys users look for them by.
struct KnownSuffix {
    std::string_view suffix; // matched in any case
    std::string_view key;
};

constexpr KnownSuffix kKnownSuffixes[] = {
    {".hdf", "hdf"},      {".jpg", "browse"},   {".jpeg", "browse"}, {"_QA.txt", "qa"},
    {".hdf.xml", "xml"},  {".xml", "xml"},      {".met", "met"},     {".hdf.met", "met"},
};

// The granule ID that a file of the folder names as its own, when it is a granule's
// data file or metadata file: "X" for "X.hdf", "X.hdf.xml", "X.hdf.met" or "X.met". A
// metadata file that names no data file counts only when what is left has no dot, so
// that a sidecar such as "X_V.tif.aux.xml" is never taken for a granule of its own.
std::string_view GranuleOfName(std::string_view name) {
    const std::string_view data = WithoutDataFileExtension(name);
    if (data.size() != name.size())
        return data;
    for (const std::string_view extension : {".met", ".xml", ".json"}) {
        if (!EndsWithNoCase(name, extension))
            continue;
        const std::string_view rest = name.substr(0, name.size() - extension.size());
        const std::string_view granule = WithoutDataFileExtension(rest);
        if (granule.size() != rest.size() || rest.find('.') == std::string_view::npos)
            return granule;
    }
    return {};
}

bool FollowedBySeparator(std::string_view name, std::size_t at) {
    return at == name.size() || IsSeparator(name[at]);
}

// The granule IDs longer than `stem` that the names starting with it give, sorted: the
// granules of the folder that a file of `stem`'s might belong to instead. The IDs of
// items read later are not known yet, so the folder's own data and metadata files
// stand for them: every granule of an archive has one of those.
std::vector<std::string_view> OtherGranules(const std::vector<std::string_view>& names,
                                            std::string_view stem) {
    std::vector<std::string_view> granules;
    for (const std::string_view name : names) {
        const std::string_view granule = GranuleOfName(name);
        if (granule.size() > stem.size() && granule.starts_with(stem) &&
            FollowedBySeparator(granule, stem.size()))
            granules.push_back(granule);
    }
    std::sort(granules.begin(), granules.end());
    granules.erase(std::unique(granules.begin(), granules.end()), granules.end());
    return granules;
}

// A file belongs to the granule whose ID is the longest start of its name that a
// separator or the name's end follows: "S_10.hdf" is not S_1's, and "S_1_2.hdf" is not
// S_1's when S_1_2 is a granule of the folder too.
bool OwnedBy(std::string_view name, std::string_view stem,
             const std::vector<std::string_view>& others) {
    if (!FollowedBySeparator(name, stem.size()))
        return false;
    for (std::size_t at = stem.size() + 1; at <= name.size(); ++at) {
        if (FollowedBySeparator(name, at) &&
            std::binary_search(others.begin(), others.end(), name.substr(0, at)))
            return false;
    }
    return true;
}

} // namespace

namespace {

constexpr std::size_t kFileBuffer = 64 * 1024;

// Names in the unnamed file are each after two bytes of its length, more than any file
// system gives a name.
constexpr std::size_t kMaxName = 0xFFFF;

// Writes names to the file, after what it holds, through a buffer.
class NameWriter {
  public:
    NameWriter(int fd, std::uint64_t at) : m_fd(fd), m_at(at) {}
    std::uint64_t at() const { return m_at + m_buffer.size(); }
    int add(std::string_view name) {
        m_buffer += static_cast<char>(name.size() & 0xFF);
        m_buffer += static_cast<char>(name.size() >> 8);
        m_buffer += name;
        return m_buffer.size() >= kFileBuffer ? flush() : 0;
    }
    int flush() {
        const int err = WriteAllAt(m_fd, m_buffer, static_cast<off_t>(m_at));
        m_at += m_buffer.size();
        m_buffer.clear();
        return err;
    }

  private:
    int m_fd;
    std::uint64_t m_at;
    std::string m_buffer;
};

// Reads back the names of one sorted part of the file, in order.
class NameReader {
  public:
    NameReader(int fd, std::uint64_t at, std::uint64_t end) : m_fd(fd), m_at(at), m_end(end) {}
    const std::string& name() const { return m_name; }
    // The next name, or false at the part's end (`err` says whether it failed: a name cut
    // short by the end is EIO).
    bool next(int& err) {
        if (!fill(2, err))
            return cutShort(err);
        const std::size_t size = static_cast<unsigned char>(m_buffer[m_used]) |
                                 std::size_t{static_cast<unsigned char>(m_buffer[m_used + 1])} << 8;
        if (!fill(2 + size, err))
            return cutShort(err);
        m_name.assign(m_buffer, m_used + 2, size);
        m_used += 2 + size;
        return true;
    }

  private:
    bool cutShort(int& err) const {
        if (err == 0 && m_buffer.size() > m_used)
            err = EIO;
        return false;
    }
    bool fill(std::size_t need, int& err) {
        if (m_buffer.size() - m_used >= need)
            return true;
        m_buffer.erase(0, m_used);
        m_used = 0;
        const std::size_t want = std::min<std::uint64_t>(kFileBuffer, m_end - m_at);
        const std::size_t had = m_buffer.size();
        m_buffer.resize(had + want);
        std::size_t got = 0;
        err = ReadAt(m_fd, m_buffer.data() + had, want, static_cast<off_t>(m_at), got);
        m_buffer.resize(had + got);
        m_at += got;
        if (err == 0 && m_buffer.size() < need && m_at < m_end)
            err = EIO;
        return err == 0 && m_buffer.size() >= need;
    }

    int m_fd;
    std::uint64_t m_at;
    std::uint64_t m_end;
    std::string m_buffer;
    std::size_t m_used = 0;
    std::string m_name;
};

} // namespace

std::optional<Error> FolderNames::read(const std::string& folder, const std::string& spillFolder,
                                       const std::string& shownAs, std::size_t memoryBytes,
                                       const KeepReading& keepReading) {
    m_count = 0;
    m_holdsHdf = false;
    m_keptAside = false;
    m_names.clear();
    m_offsets.clear();
    m_file.reset();
    m_parts.clear();
    m_blocks.clear();
    m_spillFolder = spillFolder;
    m_shownAs = shownAs.empty() ? spillFolder : shownAs;
    // A folder's size in bytes is, on the usual file systems, at least what its names take
    // here: room made once, rather than the names copied to new memory as they grow.
    // Opened by pieces where its path is longer than one call takes: a tree may be deep.
    const UniqueFd folderFd =
        OpenAtAnyLength(AT_FDCWD, folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (!folderFd)
        return SystemError(errno, folder);
    struct stat info {};
    if (::fstat(folderFd.get(), &info) == 0 && info.st_size > 0) {
        const auto bytes = std::min<std::uint64_t>(static_cast<std::uint64_t>(info.st_size), memoryBytes);
        m_names.reserve(bytes);
        m_offsets.reserve(bytes / 16);
    }
    std::optional<Error> failed;
    const auto keep = [&](const DirectoryEntry& entry) {
        const EntryKind kind = entry.kind();
        const std::string_view name = entry.name();
        if ((kind != EntryKind::File && kind != EntryKind::Link) || failed ||
            name.size() > kMaxName)
            return;
        if (m_names.size() + name.size() + 1 > memoryBytes && !m_offsets.empty()) {
            failed = m_spillFolder.empty() ? SystemError(EFBIG, folder) : spill();
            if (failed)
                return;
        }
        m_holdsHdf = m_holdsHdf || EndsWithNoCase(name, ".hdf");
        m_offsets.push_back(static_cast<std::uint32_t>(m_names.size()));
        m_names += name;
        m_names += '\0';
        ++m_count;
    };
    if (auto error = ReadDirectoryAt(folderFd.get(), folder, keep, keepReading))
        return error;
    m_keptAside = true; // whatever fails from here on is the file's, not the folder's
    if (failed)
        return failed;
    if (m_parts.empty()) {
        // No shrink_to_fit: the room left was never touched, so it takes no memory, and
        // a copy of every name would.
        SortNames(m_names, m_offsets);
        return std::nullopt;
    }
    if (auto error = spill())
        return error;
    return merge(m_parts.back().second);
}

// The names in memory, sorted, as the next part of the file.
std::optional<Error> FolderNames::spill() {
    if (!m_file) {
        if (auto error = OpenUnnamedFile(m_spillFolder, m_file))
            return SystemError(error->code, m_shownAs);
    }
    SortNames(m_names, m_offsets);
    const std::uint64_t start = m_parts.empty() ? 0 : m_parts.back().second;
    NameWriter writer(m_file.get(), start);
    int err = 0;
    for (std::size_t i = 0; i < m_offsets.size() && err == 0; ++i)
        err = writer.add(NameAt(m_names, m_offsets[i]));
    if (err == 0)
        err = writer.flush();
    if (err != 0)
        return SystemError(err, m_shownAs);
    m_parts.emplace_back(start, writer.at());
    m_names.clear();
    m_offsets.clear();
    return std::nullopt;
}

// Every part merged into one sorted run after them, with the first name of each block
// kept in memory.
std::optional<Error> FolderNames::merge(std::uint64_t end) {
    std::vector<NameReader> parts;
    const auto later = [&parts](std::size_t a, std::size_t b) {
        return parts[a].name() > parts[b].name();
    };
    std::vector<std::size_t> heap;
    int err = 0;
    parts.reserve(m_parts.size());
    for (const auto& [at, partEnd] : m_parts) {
        parts.emplace_back(m_file.get(), at, partEnd);
        if (parts.back().next(err))
            heap.push_back(parts.size() - 1);
        else if (err != 0)
            return SystemError(err, m_shownAs);
    }
    std::make_heap(heap.begin(), heap.end(), later);
    NameWriter writer(m_file.get(), end);
    for (std::size_t written = 0; !heap.empty() && err == 0; ++written) {
        std::pop_heap(heap.begin(), heap.end(), later);
        NameReader& part = parts[heap.back()];
        if (written % kBlockNames == 0) {
            m_blocks.push_back(writer.at());
            m_offsets.push_back(static_cast<std::uint32_t>(m_names.size()));
            m_names += part.name();
            m_names += '\0';
        }
        err = writer.add(part.name());
        if (err == 0 && part.next(err))
            std::push_heap(heap.begin(), heap.end(), later);
        else
            heap.pop_back();
    }
    if (err == 0)
        err = writer.flush();
    if (err != 0)
        return SystemError(err, m_shownAs);
    m_blocks.push_back(writer.at());
    m_parts.clear();
    m_names.shrink_to_fit();
    return std::nullopt;
}

std::vector<std::string> FolderNames::startingWith(std::string_view prefix) const {
    std::vector<std::string> found;
    auto at = std::lower_bound(m_offsets.begin(), m_offsets.end(), prefix,
                               [this](std::uint32_t offset, std::string_view key) {
                                   return NameAt(m_names, offset) < key;
                               });
    if (!m_file) {
        for (; at != m_offsets.end(); ++at) {
            const std::string_view name = NameAt(m_names, *at);
            if (!name.starts_with(prefix))
                break;
            found.emplace_back(name);
        }
        return found;
    }
    // The first name at or after `prefix` may be in the block before the first whose
    // first name is.
    std::size_t block = static_cast<std::size_t>(at - m_offsets.begin());
    if (block > 0)
        --block;
    for (; block + 1 < m_blocks.size(); ++block) {
        NameReader names(m_file.get(), m_blocks[block], m_blocks[block + 1]);
        int err = 0;
        while (names.next(err)) {
            if (names.name() < prefix)
                continue;
            if (!names.name().starts_with(prefix))
                return found;
            found.push_back(names.name());
        }
        if (err != 0) {
            m_searchError = err;
            return found;
        }
    }
    return found;
}

std::shared_ptr<const FolderNames> FolderNamesCache::names(const std::string& folder) {
    std::shared_ptr<Entry> entry;
    {
        const std::lock_guard lock(m_mutex);
        // Scenes come mostly folder by folder, so the folder is nearly always the first.
        auto found = std::find_if(m_recent.begin(), m_recent.end(),
                                  [&folder](const auto& kept) { return kept.first == folder; });
        if (found == m_recent.end()) {
            if (m_recent.size() == kMaxFolders)
                m_recent.pop_back();
            m_recent.emplace_back(folder, std::make_shared<Entry>());
            found = m_recent.end() - 1;
        }
        std::rotate(m_recent.begin(), found, found + 1);
        entry = m_recent.front().second;
    }
    // Read outside the lock, so that other folders' scenes go on meanwhile. A read that
    // throws leaves the folder unread, for the next thread that asks.
    std::call_once(entry->read, [this, &entry, &folder] {
        auto names = std::make_shared<FolderNames>();
        const KeepReading keepReading = [this](std::int64_t) {
            return !m_keepReading || m_keepReading();
        };
        std::optional<Error> error =
            names->read(folder, m_spillFolder, m_spillShownAs, m_memoryBytes, keepReading);
        if (!error)
            entry->names = std::move(names);
        else if (names->failedAside())
            fail(std::move(*error));
    });
    return entry->names;
}

void FolderNamesCache::fail(Error error) {
    const std::lock_guard lock(m_mutex);
    if (!m_failure)
        m_failure = std::move(error);
    m_failed.store(true, std::memory_order_release);
}

std::optional<Error> FolderNamesCache::failure() {
    if (!m_failed.load(std::memory_order_acquire))
        return std::nullopt;
    const std::lock_guard lock(m_mutex);
    return m_failure;
}

std::string RelativeFolderHref(std::string_view from, std::string_view to) {
    const std::vector<std::string_view> fromParts = Components(from);
    const std::vector<std::string_view> toParts = Components(to);
    std::size_t common = 0;
    while (common < fromParts.size() && common < toParts.size() &&
           fromParts[common] == toParts[common])
        ++common;
    std::string href;
    for (std::size_t i = common; i < fromParts.size(); ++i)
        href += "../";
    for (std::size_t i = common; i < toParts.size(); ++i) {
        AppendPercentEncoded(href, toParts[i]);
        href += '/';
    }
    return href;
}

StacAsset AssetOfSuffix(std::string_view suffix) {
    StacAsset asset;
    for (const Kind& kind : kKinds)
        if (EndsWithNoCase(suffix, kind.extension)) {
            asset.type = kind.type;
            asset.roles = {std::string(kind.role)};
        }
    for (const KnownSuffix& known : kKnownSuffixes)
        if (EqualsNoCase(suffix, known.suffix))
            asset.key = known.key;
    if (asset.key.empty()) {
        std::string_view key = suffix;
        while (!key.empty() && IsSeparator(key.front()))
            key.remove_prefix(1);
        const std::size_t dot = key.rfind('.');
        if (dot != std::string_view::npos && dot > 0)
            key = key.substr(0, dot);
        while (!key.empty() && IsSeparator(key.back()))
            key.remove_suffix(1);
        asset.key = key.empty() ? "file" : Utf8FromBytes(key);
    }
    return asset;
}

// The HDF file of the folder named as the one a metadata file describes: X.hdf (or X.HDF)
// beside X.hdf.xml, X.hdf.met, X.met or X.xml, in any case; empty when there is none.
std::string PairedDataFile(const FolderNames& names, std::string_view metadataName) {
    if (!names.holdsHdf())
        return {};
    std::string_view stem;
    if (EndsWithNoCase(metadataName, ".hdf.xml") || EndsWithNoCase(metadataName, ".hdf.met"))
        stem = metadataName.substr(0, metadataName.size() - 8);
    else if (EndsWithNoCase(metadataName, ".met") || EndsWithNoCase(metadataName, ".xml"))
        stem = metadataName.substr(0, metadataName.size() - 4);
    else
        return {};
    for (std::string& name : names.startingWith(stem))
        if (name.size() == stem.size() + 4 && EndsWithNoCase(name, ".hdf"))
            return std::move(name);
    return {};
}

StacAsset MetadataAsset(MetadataLayout layout) {
    // An HDF-EOS file read for its own texts is the granule's data as well.
    if (layout == MetadataLayout::HdfEos)
        return {"metadata", {}, "application/x-hdf", {"data", "metadata"}};
    const bool xml = layout == MetadataLayout::EcsXml || layout == MetadataLayout::Echo10;
    const char* type = xml                              ? "application/xml"
                       : layout == MetadataLayout::UmmG ? "application/json"
                                                        : "text/plain";
    return {"metadata", {}, type, {"metadata"}};
}

std::vector<StacAsset> SceneAssets(const FolderNames* names, std::string_view metadataName,
                                   MetadataLayout layout, std::string_view stem,
                                   std::string_view hrefBase) {
    std::vector<StacAsset> assets;
    const auto href = [hrefBase](std::string_view name) {
        std::string text(hrefBase.empty() ? "./" : hrefBase);
        AppendPercentEncoded(text, name);
        return text;
    };
    StacAsset metadata = MetadataAsset(layout);
    metadata.href = href(metadataName);
    assets.push_back(std::move(metadata));
    if (names == nullptr)
        return assets;
    // Made at the first file beside the metadata file: most scenes have none.
    std::optional<std::unordered_set<std::string>> keys;
    bool thumbnail = false;
    const auto add = [&](std::string_view name, std::string_view suffix) {
        StacAsset asset = AssetOfSuffix(suffix);
        const std::string key = asset.key;
        if (!keys)
            keys.emplace(std::initializer_list<std::string>{assets.front().key});
        for (int n = 2; keys->contains(asset.key); ++n)
            asset.key = key + "-" + std::to_string(n);
        keys->insert(asset.key);
        // The first browse image is what catalogue browsers show for the item.
        if (!thumbnail && asset.type == "image/jpeg") {
            asset.roles = {"thumbnail", "overview"};
            thumbnail = true;
        }
        asset.href = href(name);
        assets.push_back(std::move(asset));
    };
    // The granule ID is text, its bytes read as Latin-1 where they were no UTF-8: the
    // files of a Latin-1 ID have those bytes in their names.
    const std::string latin1 = Latin1BytesOf(stem);
    for (const std::string_view spelling : {stem, std::string_view(latin1)}) {
        if (spelling.empty())
            continue;
        const std::vector<std::string> foundNames = names->startingWith(spelling);
        const std::vector<std::string_view> found(foundNames.begin(), foundNames.end());
        const std::vector<std::string_view> others = OtherGranules(found, spelling);
        for (const std::string_view name : found) {
            if (name == metadataName || !OwnedBy(name, spelling, others))
                continue;
            if (assets.size() == kMaxAssets)
                return assets;
            add(name, name.substr(spelling.size()));
        }
    }
    // The HDF file the run took this metadata file to describe, when its name does not
    // start with the granule's ID, as the search above needs.
    const std::string paired = PairedDataFile(*names, metadataName);
    if (!paired.empty() && (stem.empty() || !paired.starts_with(stem)) &&
        (latin1.empty() || !paired.starts_with(latin1)) && assets.size() < kMaxAssets)
        add(paired, ".hdf");
    return assets;
}

} // namespace aster
