#include "footprints/layer_module.h"

#include "footprints/vector_drivers.h"

extern "C" __attribute__((visibility("default"))) const aster::LayerModule* AsterLayerModule() {
    static constexpr aster::LayerModule kModule{&aster::WriteFootprints, &aster::CheckVectorDriver};
    return &kModule;
}
