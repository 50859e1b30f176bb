#include "cli/command_line.h"
#include "cli/layer_loader.h"
#include "cli/window_start.h"
#include "fileio/write_signals.h"

#include <iostream>
#include <unistd.h>

int main(int argc, char* argv[]) {
    aster::IgnoreWriteSignals();
    if (argc <= 1)
        return aster::StartWindow(std::cerr);
    return aster::RunCommandLine(
        argc, argv,
        {std::cout, std::cerr, ::isatty(STDERR_FILENO) == 1, aster::LoadedLayers(), true});
}
