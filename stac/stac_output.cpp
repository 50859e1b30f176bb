#include "stac/stac_output.h"

#include "fileio/ascii.h"
#include "fileio/folder.h"
#include "fileio/output_place.h"
#include "fileio/utf8.h"
#include "readahead/list_reader.h"
#include "stac/percent_encoding.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace aster {

namespace {

std::string LowerAscii(std::string text) {
    for (char& c : text)
        c = AsciiLower(c);
    return text;
}

} // namespace

std::optional<Error> StacOutput::plan() {
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
    if (auto error = CheckOutputPlace(m_outputPath, m_options.outputPath))
        return error;
    if (auto error = NormalFolderPath(m_folderPrefix, m_sceneFolder))
        return error;
    const std::string_view folderName =
        std::string_view(m_sceneFolder).substr(m_sceneFolder.rfind('/') + 1);
    m_collection.id = CollectionIdOf(folderName);
    m_collection.title = folderName.empty() ? "/" : Utf8FromBytes(folderName);
    m_collection.description = CollectionDescription(m_collection.title);
    m_collection.softwareVersion = ASTER_VERSION;
    m_collection.license = m_options.license;
    if (!m_options.assetHrefBase.empty()) {
        const std::optional<std::string> base = AssetHrefBase(m_options.assetHrefBase);
        if (!base)
            return Error{EINVAL,
                         "Neither a URL nor an absolute path: " + m_options.assetHrefBase,
                         "Give the URL the scene folder is served at, or its absolute path.",
                         ErrorKind::Other};
        m_assetHrefBase = *base;
    }
    m_names.setSpillFolder(m_outputFolder, m_options.outputPath);
    return m_ids.open(m_outputFolder, m_options.outputPath);
}

std::shared_ptr<const StacOutput::SceneFolder> StacOutput::sceneFolder(std::string_view listed) {
    {
        const std::lock_guard<std::mutex> hold(m_lastFolderMutex);
        if (m_lastFolder && m_lastFolder->listed == listed)
            return m_lastFolder;
    }
    auto folder = std::make_shared<SceneFolder>();
    folder->listed = listed;
    if (NormalFolderPath(listed.empty() ? "/" : listed, folder->normal))
        folder->normal = listed;
    folder->hash = std::hash<std::string>{}(folder->normal);
    folder->hrefBase =
        !m_assetHrefBase.empty()
            ? m_assetHrefBase + RelativeFolderHref(m_sceneFolder, folder->normal)
        : m_inCatalogue ? "../" + RelativeFolderHref(m_outputPath, folder->normal)
                        : RelativeFolderHref(m_outputFolder, folder->normal);
    folder->names = m_names.names(folder->normal);
    const std::lock_guard<std::mutex> hold(m_lastFolderMutex);
    m_lastFolder = folder;
    return folder;
}

std::unique_ptr<SceneWriter::Prepared> StacOutput::prepare(const Scene& scene,
                                                           std::string& reason) {
    const SceneMetadata& metadata = scene.metadata;
    if (!takes(metadata)) {
        reason = metadata.dateText.empty() && metadata.timeText.empty() ? "no acquisition time"
                 : metadata.dateText.empty()                            ? "no acquisition date"
                 : metadata.timeText.empty() && metadata.date
                     ? "no acquisition time of day"
                     : "unreadable acquisition date or time";
        return nullptr;
    }
    const std::string_view path = scene.fullPath;
    const std::size_t slash = path.rfind('/');
    const std::string_view name = path.substr(slash + 1);
    const std::shared_ptr<const SceneFolder> place = sceneFolder(path.substr(0, slash));
    const std::string& hrefBase = place->hrefBase;
    const FolderNames* const names = place->names.get();
    auto prepared = std::make_unique<PreparedItem>();
    StacItem& item = prepared->item;
    prepared->granuleStem = metadata.granule.value_or("");
    item.assets = SceneAssets(names, name, metadata.layout, prepared->granuleStem, hrefBase);
    prepared->linksNonUtf8 = std::ranges::any_of(
        item.assets, [](const StacAsset& asset) { return !NamesUtf8(asset.href); });
    if (names && names->searchError() != 0)
        m_names.fail(SystemError(names->searchError(), m_options.outputPath));
    prepared->granuleKey =
        place->hash ^ (std::hash<std::string_view>{}(prepared->granuleStem) * 0x9E3779B97F4A7C15);
    prepared->nameStem = Utf8FromBytes(NameStem(name));
    item.id = IsSafeId(prepared->granuleStem) ? prepared->granuleStem
              : IsSafeId(prepared->nameStem)  ? prepared->nameStem
                                              : "scene-" + std::to_string(scene.number);
    item.collection = m_collection.id;
    item.inCatalogue = m_inCatalogue;
    item.shape = scene.shape;
    item.bbox = BoundsOf(item.shape);
    item.datetime = *metadata.acquired;
    item.end = metadata.acquiredEnd;
    if (!metadata.platforms.empty())
        item.platform = LowerAscii(metadata.platforms.front());
    for (const std::string& instrument : metadata.instruments)
        item.instruments.push_back(LowerAscii(instrument));
    item.cloudCover = metadata.cloud;
    item.sunAzimuth = metadata.sunAzimuth;
    item.sunElevation = metadata.sunElevation;
    item.shortName = metadata.product;
    item.version = metadata.version;
    prepared->json = render(item);
    prepareAside(*prepared, scene.number);
    return prepared;
}

void StacOutput::addToCollection(const StacItem& item) {
    m_collection.extent.add(item.bbox, item.datetime);
    if (item.end)
        m_collection.extent.add(item.bbox, *item.end);
    if (item.platform)
        m_collection.platforms.add(*item.platform);
    for (const std::string& instrument : item.instruments)
        m_collection.instruments.add(instrument);
    if (item.shortName)
        m_collection.products.add(*item.shortName);
    m_collection.cloudCover.add(item.cloudCover);
    m_collection.sunAzimuth.add(item.sunAzimuth);
    m_collection.sunElevation.add(item.sunElevation);
}

std::optional<Error> StacOutput::write(const Scene& scene, Prepared& base,
                                       std::string& /*reason*/) {
    // A scene prepared without the files beside it that it has stops the run.
    if (auto failure = m_names.failure())
        return failure;
    auto& prepared = static_cast<PreparedItem&>(base);
    StacItem& item = prepared.item;
    const std::string_view id = m_ids.add(prepared.granuleStem, prepared.nameStem, scene.number);
    if (const auto& error = m_ids.error())
        return *error;
    // A granule listed twice in one folder (its .hdf.xml and its .met) is two items, and
    // the files beside it are the first one's: no file belongs to two items.
    bool again = false;
    if (item.assets.size() > 1 && !m_granulesWithFiles.insert(prepared.granuleKey).second &&
        m_ids.granuleSeenBefore()) {
        item.assets.resize(1);
        prepared.linksNonUtf8 = !NamesUtf8(item.assets.front().href);
        again = true;
    }
    if (prepared.linksNonUtf8 && m_nonUtf8Items++ == 0)
        m_firstNonUtf8 = scene.fullPath;
    std::string writtenAs;
    if (id != item.id) {
        writtenAs = std::exchange(item.id, std::string(id));
        again = true;
    }
    if (again) {
        prepared.json = render(item);
        prepared.rendered = true;
    }
    if (auto error = place(prepared, writtenAs))
        return error;
    addToCollection(item);
    return std::nullopt;
}

std::optional<Error> StacOutput::complete(SceneRunHost& host) {
    m_ids.finish();
    if (const auto& error = m_ids.error())
        return *error;
    if (auto failure = m_names.failure())
        return failure;
    reportIdChanges(host);
    if (m_nonUtf8Items > 0)
        host.notice(std::to_string(m_nonUtf8Items) +
                    (m_nonUtf8Items == 1 ? " item links" : " items link") +
                    " files whose names are not UTF-8, such as the item of " + m_firstNonUtf8 +
                    ": web browsers, and many web servers, cannot follow such links. To serve "
                    "the catalogue, give the files UTF-8 names (Debian's convmv renames them).");
    return finishItems();
}

std::vector<bool> StacOutput::changedItems(std::size_t& count) {
    std::vector<bool> changed(m_ids.size());
    count = 0;
    for (std::size_t i = 0; i < m_ids.size(); ++i) {
        changed[i] = m_ids.changed(i);
        count += changed[i] ? 1 : 0;
    }
    return changed;
}

// Names the listed files whose items have another id than their own, with why: the
// list is read again for their paths, which the run does not keep.
void StacOutput::reportIdChanges(SceneRunHost& host) {
    std::vector<std::pair<std::size_t, std::string>> changes;
    for (std::size_t i = 0; i < m_ids.size(); ++i) {
        std::string why = m_ids.change(i);
        if (!why.empty())
            changes.emplace_back(i, std::move(why));
    }
    if (changes.empty())
        return;
    ListReader list(1 << 16, true);
    if (list.open(ListPath(m_folderPrefix, m_options.listPath)))
        return;
    std::string line;
    std::int32_t number = 0;
    for (const auto& [item, why] : changes) {
        const std::int32_t wanted = m_ids.sceneNumber(item);
        while (number < wanted && !list.atEnd()) {
            list.readLine(line);
            ++number;
        }
        if (number != wanted)
            return;
        host.idChanged(m_folderPrefix + line, m_ids.finalId(item), why);
    }
}

} // namespace aster
