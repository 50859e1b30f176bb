#include "metadata/scene_footprint.h"

namespace aster {

SceneFootprintOrReason ReadSceneFootprint(SceneMetadataReader& reader, std::string_view text,
                                          TextExtent extent) {
    switch (extent) {
    case TextExtent::Head:
        return {std::nullopt, "not scene metadata"};
    case TextExtent::TooLarge:
        return {std::nullopt, "larger than 16 MiB"};
    case TextExtent::Whole:
        break;
    }
    MetadataOrReason read = reader.read(text);
    if (!read.metadata)
        return {std::nullopt, std::move(read.reason)};
    ShapeOrReason shape = MakeFootprintShape(read.metadata->corners, read.metadata->moreRings);
    if (!shape.shape)
        return {std::nullopt, std::move(shape.reason)};
    return {SceneFootprint{std::move(*read.metadata), std::move(*shape.shape)}, {}};
}

// A reader taken from the idle ones, or a new one when all are in use, given back when
// the call is done.
class SceneFootprintReader::Borrowed {
  public:
    explicit Borrowed(SceneFootprintReader& owner) : m_owner(owner) {
        {
            const std::lock_guard lock(m_owner.m_mutex);
            if (!m_owner.m_idle.empty()) {
                m_reader = std::move(m_owner.m_idle.back());
                m_owner.m_idle.pop_back();
            }
        }
        if (!m_reader)
            m_reader = std::make_unique<SceneMetadataReader>();
    }
    Borrowed(const Borrowed&) = delete;
    Borrowed& operator=(const Borrowed&) = delete;
    ~Borrowed() {
        const std::lock_guard lock(m_owner.m_mutex);
        try {
            m_owner.m_idle.push_back(std::move(m_reader));
        } catch (const std::bad_alloc&) {
            // The reader goes; the next call makes another.
        }
    }

    SceneMetadataReader& operator*() { return *m_reader; }

  private:
    SceneFootprintReader& m_owner;
    std::unique_ptr<SceneMetadataReader> m_reader;
};

SceneFootprintOrReason SceneFootprintReader::read(std::string_view text, TextExtent extent) {
    Borrowed reader(*this);
    return ReadSceneFootprint(*reader, text, extent);
}

HeadFirst SceneFootprintReader::headFirst() {
    return HeadFirst{kLayoutSniffBytes, kMaxMetadataBytes, [this](std::string_view head) {
                         Borrowed reader(*this);
                         return (*reader).sniff(head) != MetadataLayout::None;
                     }};
}

} // namespace aster
