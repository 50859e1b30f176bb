#include "cli/layer_loader.h"

#include "fileio/folder.h"
#include "footprints/layer_module.h"

#include <cerrno>
#include <dlfcn.h>
#include <string>
#include <unistd.h>

namespace aster {

namespace {

struct Loaded {
    const LayerModule* module = nullptr;
    Error error;
};

Loaded Load() {
    const std::string folder = ProgramFolder();
    std::string tried;
    for (const std::string& place : {folder, folder + "/" ASTER_PRIVATE_FROM_PROGRAM}) {
        const std::string path = place + "/" + kLayerModuleFile;
        if (::access(path.c_str(), F_OK) != 0) {
            tried += (tried.empty() ? "" : ", ") + path;
            continue;
        }
        void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr)
            return {nullptr,
                    Error{ENOEXEC, "Cannot load the footprint layers: " + std::string(::dlerror()),
                          "Install the aster package again."}};
        using Entry = const LayerModule* (*)();
        const auto entry = reinterpret_cast<Entry>(::dlsym(handle, kLayerModuleSymbol));
        if (entry == nullptr)
            return {nullptr, Error{ENOEXEC, path + " is no module of aster's footprint layers",
                                   "Install the aster package again."}};
        return {entry(), {}};
    }
    return {nullptr, Error{ENOENT, "The footprint layers are not installed: no " + tried,
                           "Install the aster package again."}};
}

// GDAL and its libraries come in once for the process, and only for a command that needs
// them.
const Loaded& Layers() {
    static const Loaded loaded = Load();
    return loaded;
}

} // namespace

LayerCalls LoadedLayers() {
    return {
        [](const std::string& folderPrefix, const FootprintOptions& options,
           FootprintReport& report, SceneRunHost& host) -> std::optional<Error> {
            const Loaded& layers = Layers();
            if (layers.module == nullptr)
                return layers.error;
            return layers.module->writeFootprints(folderPrefix, options, report, host);
        },
        // Without the module the driver is not checked while the command line is read: the
        // run reports the missing module, as the error it is, not as a usage error.
        [](const std::string& driverName) -> std::optional<Error> {
            const Loaded& layers = Layers();
            if (layers.module == nullptr)
                return std::nullopt;
            return layers.module->checkVectorDriver(driverName);
        },
    };
}

} // namespace aster
