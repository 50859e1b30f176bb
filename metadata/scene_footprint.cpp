#include "metadata/scene_footprint.h"

#include "fileio/ascii.h"
#include "fileio/folder.h"
#include "fileio/unique_fd.h"
#include "metadata/hdf_texts.h"

#include <array>
#include <fcntl.h>
#include <sys/stat.h>

namespace aster {

namespace {

SceneFootprintOrReason WithShape(MetadataOrReason read) {
    if (!read.metadata)
        return {std::nullopt, std::move(read.reason)};
    ShapeOrReason shape = MakeFootprintShape(read.metadata->corners, read.metadata->moreRings);
    if (!shape.shape)
        return {std::nullopt, std::move(shape.reason)};
    return {SceneFootprint{std::move(*read.metadata), std::move(*shape.shape)}, {}};
}

} // namespace

SceneFootprintOrReason ReadSceneFootprint(SceneMetadataReader& reader, std::string_view text,
                                          TextExtent extent) {
    switch (extent) {
    case TextExtent::Head:
        return {std::nullopt, "not scene metadata"};
    case TextExtent::TooLarge:
        return {std::nullopt, "larger than " + std::to_string(kMaxMetadataBytes >> 20) + " MiB"};
    case TextExtent::Whole:
        break;
    }
    return WithShape(reader.read(text));
}

SceneMetadataReader& SceneFootprintReader::readerOf(std::size_t worker) {
    std::unique_ptr<SceneMetadataReader>& reader = m_readers.at(worker);
    if (!reader)
        reader = std::make_unique<SceneMetadataReader>();
    return *reader;
}

SceneFootprintOrReason SceneFootprintReader::read(std::string_view text, TextExtent extent,
                                                  std::size_t worker) {
    return ReadSceneFootprint(readerOf(worker), text, extent);
}

namespace {

// The metadata file listed beside an HDF file that describes the same granule, if any.
std::string OwnMetadataFile(const std::string& path) {
    const std::string_view name = FileNameOf(path);
    if (!EndsWithNoCase(name, ".hdf"))
        return {};
    const std::string folder = path.substr(0, path.size() - name.size());
    const std::string stem(name.substr(0, name.size() - 4));
    for (const std::string& candidate :
         std::array<std::string, 3>{std::string(name) + ".xml", std::string(name) + ".met",
                                    stem + ".met"}) {
        struct stat info {};
        if (::stat((folder + candidate).c_str(), &info) == 0 && S_ISREG(info.st_mode))
            return candidate;
    }
    return {};
}

} // namespace

SceneFootprintOrReason SceneFootprintReader::readHdf(const std::string& path,
                                                     std::size_t worker) {
    if (const std::string own = OwnMetadataFile(path); !own.empty())
        return {std::nullopt, "described by " + own};
    const UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!file)
        return {std::nullopt, std::string(kUnreadableHdf)};
    HdfTextsOrReason texts = ReadHdfTexts(file.get());
    if (!texts.texts)
        return {std::nullopt, std::move(texts.reason)};
    SceneFootprintOrReason read =
        WithShape(readerOf(worker).readHdfTexts(texts.texts->core, texts.texts->product));
    // The run takes a data file's extension off every granule ID.
    if (read.scene && read.scene->metadata.granule.value_or("").empty())
        read.scene->metadata.granule = std::string(FileNameOf(path));
    return read;
}

HeadFirst SceneFootprintReader::headFirst() {
    return HeadFirst{kLayoutSniffBytes, kMaxMetadataBytes, [](std::string_view head) {
                         return SniffLayout(head) != MetadataLayout::None;
                     }};
}

} // namespace aster
