#pragma once

#include "metadata/scene_run.h"
#include "stac/asset_files.h"
#include "stac/item_ids.h"
#include "stac/stac_catalogue.h"
#include "stac/stac_json.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

namespace aster {

// What a scene gives a STAC output, made on the thread that read it: the item and its
// JSON, made with the id it will have unless another item takes that.
struct PreparedItem final : SceneWriter::Prepared {
    StacItem item;
    std::string granuleStem; // UTF-8; empty without a granule ID
    std::string nameStem;    // UTF-8
    std::string json;        // the item as written, with item.id
    // The scene's folder and granule, hashed: whether an earlier item of the same
    // granule in the same folder took the files beside it.
    std::uint64_t granuleKey = 0;
    bool rendered = false; // its JSON was made again after it was written aside
    bool linksNonUtf8 = false; // an asset's href names bytes that are not UTF-8
    // In a static catalogue, the folder in the scratch folder that the reading thread
    // wrote the item's file to; empty when it wrote none.
    std::string aside;
    int asideErrno = 0; // why that folder could not be written
};

// What the static catalogue and the ItemCollection share: the output's place, the
// collection, each scene made an item, ids given in list order and fixed at the end.
class StacOutput : public SceneWriter {
  public:
    StacOutput(const std::string& folderPrefix, const StacOptions& options, bool inCatalogue)
        : m_folderPrefix(folderPrefix), m_options(options), m_inCatalogue(inCatalogue) {}

    std::optional<Error> plan() override;
    bool takes(const SceneMetadata& metadata) const override {
        return metadata.acquired.has_value(); // STAC requires one
    }
    std::unique_ptr<Prepared> prepare(const Scene& scene, std::string& reason) override;
    std::optional<Error> write(const Scene& scene, Prepared& prepared,
                               std::string& reason) override;
    std::optional<Error> complete(SceneRunHost& host) override;
    const std::string& shownOutput() const override { return m_options.outputPath; }

  protected:
    // The item's document as the output holds it.
    virtual std::string render(const StacItem& item) const = 0;
    // More work on a prepared item on its reading thread.
    virtual void prepareAside(PreparedItem& /*prepared*/, std::int32_t /*number*/) {}
    // Puts the item in the output, with its final id, in list order; `writtenAs` is the
    // id its JSON was first made with, when that was another.
    virtual std::optional<Error> place(PreparedItem& prepared, const std::string& writtenAs) = 0;
    // After the last item, once the final ids are known.
    virtual std::optional<Error> finishItems() = 0;

    // A scene folder's names are read no further once the user stops the run: a folder
    // of a million files on a slow share takes minutes.
    void hearStopsOf(const SceneRunHost& host) {
        m_names.setKeepReading([&host] { return !host.cancelRequestedOnAnyThread(); });
    }

    // The items whose final id differs from the one they were written with.
    std::vector<bool> changedItems(std::size_t& count);

    const std::string& m_folderPrefix;
    const StacOptions& m_options;
    const bool m_inCatalogue;
    std::string m_outputPath;   // absolute, in normal form
    std::string m_outputFolder; // its folder
    std::string m_outputName;
    std::string m_sceneFolder; // in normal form
    std::string m_assetHrefBase; // see AssetHrefBase; empty for relative hrefs
    StacCollection m_collection;
    ItemIds m_ids;

  private:
    // A folder scenes lie in, as its items see it.
    struct SceneFolder {
        std::string listed;     // as the scene's path gives it
        std::string normal;     // in normal form, or as listed when it has none
        std::string hrefBase;   // the way from the item's file to the folder
        std::uint64_t hash = 0; // of `normal`, for the granule keys of its scenes
        std::shared_ptr<const FolderNames> names; // its files, or none (FolderNamesCache)
    };
    // The folder `listed` (a scene's path up to its last '/'), worked out once for the
    // scenes that follow each other in it.
    std::shared_ptr<const SceneFolder> sceneFolder(std::string_view listed);
    void reportIdChanges(SceneRunHost& host);
    void addToCollection(const StacItem& item);

    FolderNamesCache m_names;
    std::mutex m_lastFolderMutex;
    std::shared_ptr<const SceneFolder> m_lastFolder; // guarded by m_lastFolderMutex
    // The granuleKey of each item that took files beside its metadata file.
    std::unordered_set<std::uint64_t> m_granulesWithFiles;
    std::int64_t m_nonUtf8Items = 0; // items whose links browsers cannot follow
    std::string m_firstNonUtf8;      // the first one's listed file
};

std::unique_ptr<StacOutput> MakeStaticCatalogue(const std::string& folderPrefix,
                                                const StacOptions& options);
std::unique_ptr<StacOutput> MakeItemCollectionFile(const std::string& folderPrefix,
                                                   const StacOptions& options);

} // namespace aster
