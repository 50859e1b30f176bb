#pragma once

#include "fileio/error.h"

#include <optional>
#include <string>

namespace aster {

// Before a run reads anything: whether what stands at an output's name is something an
// output may take the place of. Every output is made beside its name and renamed over
// it, so two things are refused at once rather than after the whole run:
// - a device, a FIFO or a socket (or a link to one): renaming a file over it would leave
//   a regular file where the device was, and writing to it is not what an output does;
// - a mount point (a folder or a file that something is mounted on): the kernel refuses
//   to rename over it (EBUSY).
// Nothing stands there, a regular file, a folder or a link to one pass. `shownPath` is the
// name the user gave, for the message. The error's kind is Other; its hint says what to
// do in words that suit every front end.
std::optional<Error> CheckOutputPlace(const std::string& path, const std::string& shownPath);

} // namespace aster
