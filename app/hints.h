#pragma once

#include "fileio/error.h"

#include <string>

namespace aster {

// The advice under an error in the window's message: worded from the error's kind where
// the advice names one of the window's buttons or its folder list, the error's own hint
// otherwise.
std::string WindowHint(const Error& error);

} // namespace aster
