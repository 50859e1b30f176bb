#pragma once

#include "metadata/scene_metadata.h"

#include <memory>
#include <string_view>

namespace aster {

// Reads one granule's metadata in the object description layout after another, keeping
// its buffers from file to file: one for each thread that reads.
class OdlGranuleReader {
  public:
    OdlGranuleReader();
    OdlGranuleReader(const OdlGranuleReader&) = delete;
    OdlGranuleReader& operator=(const OdlGranuleReader&) = delete;
    ~OdlGranuleReader();

    MetadataOrReason read(std::string_view text);
    // An HDF-EOS file's core metadata, with the items it lacks taken from its product
    // metadata; a reader's reason names the text it is in.
    MetadataOrReason readHdfTexts(std::string_view core, std::string_view product);

  private:
    class Granule;
    std::unique_ptr<Granule> m_granule;
};

} // namespace aster
