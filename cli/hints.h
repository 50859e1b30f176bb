#pragma once

#include "fileio/error.h"

#include <string>

namespace aster {

// The advice under an error on the command line: worded from the error's kind where the
// advice names a command or an option, the error's own hint otherwise.
std::string CommandLineHint(const Error& error);

} // namespace aster
