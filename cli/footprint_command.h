#pragma once

#include "fileio/error.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace aster {

// What `aster footprints` asks for.
struct FootprintRequest {
    std::string folder;       // in normal form; its filelist.txt names the scene files
    std::string outputPath;   // as the user gave it
    std::string driver;       // a GDAL vector driver's short name: "GPKG", "ESRI Shapefile"...
    bool overwrite = false;   // replace an existing output rather than fail
    bool spatialIndex = true; // a spatial index in the layer, where the format has one
};

// What the footprint writer tells the command line while it runs.
class FootprintHost {
  public:
    virtual ~FootprintHost() = default;
    // After each listed file: how many are done of how many the list holds.
    virtual void progress(std::int64_t done, std::int64_t total) = 0;
    // Asked after each listed file; true stops the run and leaves no half-written layer.
    virtual bool cancelRequested() = 0;
    // A listed file that gave no footprint, and why, in a few words.
    virtual void skipped(std::string_view path, std::string_view reason) = 0;
};

// Counted by the writer for the command's closing line.
struct FootprintSummary {
    std::int64_t written = 0; // footprints in the layer
    std::int64_t skipped = 0; // listed files that gave none
};

// Writes the footprint layer of the files that the folder's filelist.txt lists. Returns
// the error that ended it, if any (a cancellation when the host asked it to stop).
std::optional<Error> FootprintCommand(const FootprintRequest& request, FootprintHost& host,
                                      FootprintSummary& summary);

} // namespace aster
