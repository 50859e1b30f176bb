#include "metadata/scene_footprint.h"

#include "fileio/ascii.h"
#include "fileio/folder.h"
#include "fileio/long_path.h"
#include "fileio/unique_fd.h"
#include "metadata/hdf_texts.h"
#include "readahead/scene_files.h"

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
        return {std::nullopt, NoLayoutReason(text)};
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

// A file beside an HDF file, read by the read-ahead's rules where it may be scene
// metadata: no larger than metadata is.
bool ReadBeside(const std::string& path, std::string& text) {
    const ScenePath place{path, AT_FDCWD, path.c_str()};
    const std::optional<std::size_t> size = SceneFileSize(place);
    if (!size || *size > kMaxMetadataBytes)
        return false;
    text.resize(*size);
    const std::optional<std::size_t> got = ReadSceneFile(place, *size, text.data());
    text.resize(got.value_or(0));
    return got.has_value();
}

} // namespace

// The metadata file beside an HDF file that describes the same granule, if any: one the
// run reads too, and that gives a scene. Else the HDF file's own texts must, or the
// granule would be lost: a list or a pattern that leaves its metadata file out, or a
// metadata file that is empty or damaged.
std::string SceneFootprintReader::ownMetadataFile(const std::string& path, std::size_t worker) {
    const std::string_view name = FileNameOf(path);
    if (!EndsWithNoCase(name, ".hdf"))
        return {};
    const std::string folder = path.substr(0, path.size() - name.size());
    const std::string stem(name.substr(0, name.size() - 4));
    // Archives spell extensions in small letters or in capitals, the data file's and the
    // metadata file's alike or not: X.hdf.xml, X.HDF.XML, X.hdf.MET, X.MET, X.xml beside
    // X.hdf.
    const std::string lower = stem + ".hdf";
    const std::string upper = stem + ".HDF";
    std::string text;
    for (const std::string& candidate :
         std::array<std::string, 12>{lower + ".xml", upper + ".xml", lower + ".XML", upper + ".XML",
                                     lower + ".met", upper + ".met", lower + ".MET", upper + ".MET",
                                     stem + ".met", stem + ".MET", stem + ".xml", stem + ".XML"}) {
        const std::string beside = folder + candidate;
        if (!m_listed.contains(beside) || !ReadBeside(beside, text))
            continue;
        const SceneFootprintOrReason read =
            ReadSceneFootprint(readerOf(worker), text, TextExtent::Whole);
        if (read.scene && (!m_takes || m_takes(read.scene->metadata)))
            return candidate;
    }
    return {};
}

SceneFootprintOrReason SceneFootprintReader::readHdf(const std::string& path,
                                                     std::size_t worker) {
    if (const std::string own = ownMetadataFile(path, worker); !own.empty())
        return {std::nullopt, "described by " + own};
    const UniqueFd file =
        OpenAtAnyLength(AT_FDCWD, path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (!file)
        return {std::nullopt, std::string(kUnreadableHdf)};
    HdfTextsOrReason texts = ReadHdfTexts(file.get(), m_giveUp);
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
    return HeadFirst{kLayoutSniffBytes, kMaxMetadataBytes,
                     [](std::string_view head, std::size_t) { return MayBeSceneMetadata(head); }};
}

} // namespace aster
