#include "stac/asset_files.h"

#include "fileio/ascii.h"
#include "fileio/directory.h"
#include "stac/percent_encoding.h"
#include "fileio/utf8.h"

#include <algorithm>
#include <limits>
#include <unordered_set>

namespace aster {

namespace {

std::string_view NameAt(const std::string& names, std::uint32_t offset) {
    return std::string_view(names.data() + offset);
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

} // namespace

std::optional<Error> FolderNames::read(const std::string& folder) {
    m_names.clear();
    m_offsets.clear();
    std::optional<Error> error = ReadDirectory(folder, [this](const DirectoryEntry& entry) {
        const EntryKind kind = entry.kind();
        if (kind != EntryKind::File && kind != EntryKind::Link)
            return;
        if (m_names.size() > std::numeric_limits<std::uint32_t>::max() - entry.name().size() - 1)
            throw std::bad_alloc();
        m_offsets.push_back(static_cast<std::uint32_t>(m_names.size()));
        m_names += entry.name();
        m_names += '\0';
    });
    if (error)
        return error;
    std::sort(m_offsets.begin(), m_offsets.end(), [this](std::uint32_t a, std::uint32_t b) {
        return NameAt(m_names, a) < NameAt(m_names, b);
    });
    m_names.shrink_to_fit();
    return std::nullopt;
}

std::vector<std::string_view> FolderNames::startingWith(std::string_view prefix) const {
    std::vector<std::string_view> found;
    auto at = std::lower_bound(m_offsets.begin(), m_offsets.end(), prefix,
                               [this](std::uint32_t offset, std::string_view key) {
                                   return NameAt(m_names, offset) < key;
                               });
    for (; at != m_offsets.end(); ++at) {
        const std::string_view name = NameAt(m_names, *at);
        if (!name.starts_with(prefix))
            break;
        found.push_back(name);
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
    std::call_once(entry->read, [&entry, &folder] {
        auto names = std::make_shared<FolderNames>();
        if (!names->read(folder))
            entry->names = std::move(names);
    });
    return entry->names;
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
    for (std::size_t i = common; i < toParts.size(); ++i)
        href += PercentEncoded(toParts[i]) + "/";
    return href;
}

StacAsset AssetOfSuffix(std::string_view suffix) {
    StacAsset asset;
    for (const Kind& kind : kKinds)
        if (EndsWithNoCase(suffix, kind.extension)) {
            asset.type = kind.type;
            asset.role = kind.role;
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

StacAsset MetadataAsset(MetadataLayout layout) {
    const bool xml = layout == MetadataLayout::EcsXml || layout == MetadataLayout::Echo10;
    const char* type = xml                              ? "application/xml"
                       : layout == MetadataLayout::UmmG ? "application/json"
                                                        : "text/plain";
    return {"metadata", {}, type, "metadata"};
}

std::vector<StacAsset> SceneAssets(const FolderNames* names, std::string_view metadataName,
                                   MetadataLayout layout, std::string_view stem,
                                   std::string_view hrefBase) {
    std::vector<StacAsset> assets;
    const auto href = [hrefBase](std::string_view name) {
        std::string text(hrefBase.empty() ? "./" : hrefBase);
        return text + PercentEncoded(name);
    };
    StacAsset metadata = MetadataAsset(layout);
    metadata.href = href(metadataName);
    assets.push_back(std::move(metadata));
    if (names == nullptr || stem.empty())
        return assets;
    std::unordered_set<std::string> keys{assets.front().key};
    for (const std::string_view name : names->startingWith(stem)) {
        if (name == metadataName)
            continue;
        if (assets.size() == kMaxAssets)
            break;
        StacAsset asset = AssetOfSuffix(name.substr(stem.size()));
        const std::string key = asset.key;
        for (int n = 2; keys.contains(asset.key); ++n)
            asset.key = key + "-" + std::to_string(n);
        keys.insert(asset.key);
        asset.href = href(name);
        assets.push_back(std::move(asset));
    }
    return assets;
}

} // namespace aster
