#pragma once

#include "metadata/footprint_shape.h"
#include "metadata/hdf_texts.h"
#include "metadata/scene_metadata.h"
#include "readahead/listed_names.h"
#include "readahead/listed_scenes.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace aster {

// What every output that writes footprints takes from one listed file: the granule's
// metadata and its footprint shape.
struct SceneFootprint {
    SceneMetadata metadata;
    FootprintShape shape;
};

// The scene, or why the file gives none: the reader's reasons (see MetadataOrReason) and
// then the shape's (see ShapeOrReason), word for word, so that every output skips the same
// files for the same reasons.
struct SceneFootprintOrReason {
    std::optional<SceneFootprint> scene;
    std::string reason;
};

// Reads one listed file's text as the read-ahead left it: a text that is only its head
// is no scene metadata (the HeadFirst rule below read no further), and one that was too
// large to read whole is "larger than 16 MiB".
SceneFootprintOrReason ReadSceneFootprint(SceneMetadataReader& reader, std::string_view text,
                                          TextExtent extent);

// ReadSceneFootprint for runs that read ahead on several threads: each worker (see
// ScenePreparer) has a SceneMetadataReader of its own, made when it first reads, so that
// parsers and their buffers stay with the thread that uses them from file to file.
class SceneFootprintReader {
  public:
    // Whether the output takes a scene: a metadata file beside an HDF file describes the
    // granule only where it gives one the output takes, or the granule would be lost.
    using Takes = std::function<bool(const SceneMetadata&)>;

    // For workers 0 to workers - 1, over the files of `listed`; `giveUp` stops the
    // waits of HDF reads.
    SceneFootprintReader(std::size_t workers, ListedNames& listed, Takes takes = {},
                         GiveUpWaiting giveUp = {})
        : m_listed(listed), m_takes(std::move(takes)), m_giveUp(std::move(giveUp)),
          m_readers(workers) {}
    SceneFootprintReader(const SceneFootprintReader&) = delete;
    SceneFootprintReader& operator=(const SceneFootprintReader&) = delete;

    // May be called on several threads at once, each as another worker.
    SceneFootprintOrReason read(std::string_view text, TextExtent extent, std::size_t worker);
    // The scene an HDF-EOS file at `path` describes with its own ECS texts, read through
    // the HDF4 library, or why none: its own metadata file beside it (X.hdf.xml,
    // X.hdf.met or X.met for X.hdf, their extensions in small letters or in capitals)
    // or X.xml describes the scene instead ("described by X.hdf.xml"),
    // so that a granule is one scene, where the run lists that file too and it gives a
    // scene the output takes. A granule without an ID takes the file's name without ".hdf". May be
    // called on several threads at once, each as another worker.
    SceneFootprintOrReason readHdf(const std::string& path, std::size_t worker);

    // The read-ahead's rule for scene metadata: every file's first kLayoutSniffBytes, and
    // the rest only of a file whose head MayBeSceneMetadata, up to kMaxMetadataBytes.
    static HeadFirst headFirst();

  private:
    SceneMetadataReader& readerOf(std::size_t worker);
    std::string ownMetadataFile(const std::string& path, std::size_t worker);

    ListedNames& m_listed;
    Takes m_takes;
    GiveUpWaiting m_giveUp;

    // Element w is touched by worker w alone.
    std::vector<std::unique_ptr<SceneMetadataReader>> m_readers;
};

} // namespace aster
