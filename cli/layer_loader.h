#pragma once

#include "cli/command_line.h"

namespace aster {

// The footprint layers from their module, loaded when a call first needs them and kept
// for the process: from beside the program in a build tree, else from the library
// folder's aster/ beside the program's own folder, where the package installs it. A
// module that cannot be loaded gives every call its error.
LayerCalls LoadedLayers();

} // namespace aster
