#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace aster {

// Whole-buffer reads and writes on a descriptor, retried when a signal interrupts them.
// Each gives 0 or an errno value; a write the system takes no byte of is EIO, since the
// cause is not known.

// Writes all of `bytes`.
int WriteAll(int fd, std::string_view bytes);
// Writes all of `bytes` at `offset` (pwrite).
int WriteAllAt(int fd, std::string_view bytes, off_t offset);
// Reads `size` bytes from `offset` (pread), or fewer at the end of the file: `got` says.
int ReadAt(int fd, char* buffer, std::size_t size, off_t offset, std::size_t& got);
// Reads from where the descriptor stands until `size` bytes or the end of the file.
int ReadFully(int fd, char* buffer, std::size_t size, std::size_t& got);
// The whole regular file `path` in the folder `dirFd` (never through a link), at most
// `maxBytes`: a larger one is EFBIG.
int ReadWholeFileAt(int dirFd, const std::string& path, std::size_t maxBytes,
                    std::string& bytes);
// A new file `path` in the folder `dirFd` holding `bytes`, closed; an existing one is EEXIST.
int WriteNewFileAt(int dirFd, const std::string& path, std::string_view bytes);

} // namespace aster
