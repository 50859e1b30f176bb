#pragma once

#include "footprints/footprint_layer.h"

#include <optional>
#include <string>

namespace aster {

// The footprint layers as a module of their own (aster-layers.so), which the command line
// loads only for a command that writes a layer: GDAL brings some hundred libraries, whose
// loading alone took longer than listing a tree of 100,000 files.
struct LayerModule {
    std::optional<Error> (*writeFootprints)(const std::string& folderPrefix,
                                            const FootprintOptions& options,
                                            FootprintReport& report, SceneRunHost& host);
    std::optional<Error> (*checkVectorDriver)(const std::string& driverName);
};

// The module's file and the one name it is found by.
inline constexpr const char* kLayerModuleFile = "aster-layers.so";
inline constexpr const char* kLayerModuleSymbol = "AsterLayerModule";

} // namespace aster

// Defined in the module only.
extern "C" const aster::LayerModule* AsterLayerModule();
