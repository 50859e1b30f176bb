#pragma once

#include "footprints/footprint_layer.h"

#include <functional>
#include <optional>
#include <ostream>

namespace aster {

using FootprintWriter = std::function<std::optional<Error>(
    const std::string& folderPrefix, const FootprintOptions& options, FootprintReport& report,
    SceneRunHost& host)>;
using DriverCheck = std::function<std::optional<Error>(const std::string& driverName)>;

// What the command line calls of the footprint layers: the program loads them from their
// module when a command first needs them (LoadedLayers in layer_loader.h); tests put in
// the layers themselves, or their own.
struct LayerCalls {
    FootprintWriter writeFootprints;
    DriverCheck checkVectorDriver;
};

// Where the command line writes, and what it works with.
struct CommandLineContext {
    std::ostream& out;
    std::ostream& err;
    bool errIsTerminal = false; // only then does a long command show its progress
    LayerCalls layers;
    // The process ends with the command: a stop signal that comes once the command
    // is done is then recorded, not fatal, so that the status says what the command did.
    bool endsProcess = false;
};

// Exit statuses besides 128 plus a stopping signal's number.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitError = 1;
inline constexpr int kExitUsage = 2;

// Runs `aster COMMAND...` (argv[0] is the program) without any display: help and
// version go to `out`, everything else to `err`. Returns the exit status.
int RunCommandLine(int argc, const char* const* argv, const CommandLineContext& context);

} // namespace aster
