#pragma once

#include "fileio/unique_fd.h"

#include <sys/stat.h>

namespace aster {

// openat and fstatat for a path of any length: a tree may hold files whose path from the
// chosen folder is longer than the 4 KiB one system call takes. A path that fits is one
// call with the flags given, as openat or fstatat alone; a longer one has its leading
// folders opened in pieces that fit, cut at '/', and the last call made from the last of
// them. Links are followed as one call would follow them: every leading one, and the last
// component unless the flags say not to. A name longer than NAME_MAX still fails, with
// ENAMETOOLONG. `path` is relative to `folderFd` (AT_FDCWD too) or absolute.
// OpenAtAnyLength takes openat's flags, but not O_CREAT or O_TMPFILE, which want a mode;
// an empty result leaves errno set. StatAtAnyLength returns what fstatat returns.
UniqueFd OpenAtAnyLength(int folderFd, const char* path, int flags);
int StatAtAnyLength(int folderFd, const char* path, struct stat& info, int flags);

} // namespace aster
