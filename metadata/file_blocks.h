#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <sys/types.h>

namespace aster {

// A C stream over a file whose blocks are read with pread and kept: a block read once is
// not read again while it is kept, and a seek is no system call. glibc's own file streams
// make one at every seek, even within their buffer, which is most of the time of a library
// that seeks before each small read (the HDF4 library).
class FileBlocks {
  public:
    static constexpr std::size_t kBlockBytes = 16 * 1024;
    static constexpr std::size_t kBlocks = 8;

    FileBlocks();
    FileBlocks(const FileBlocks&) = delete;
    FileBlocks& operator=(const FileBlocks&) = delete;

    // A read-only stream at the start of the open file `fd` of `size` bytes, or null when
    // the system cannot make one. The caller closes it; `fd` stays open. One stream at a
    // time: opening another forgets the blocks of the one before.
    FILE* open(int fd, off_t size);

  private:
    struct Block {
        off_t start = -1; // none
        std::size_t length = 0;
    };

    static ssize_t readStream(void* cookie, char* buffer, std::size_t size);
    static int seekStream(void* cookie, off64_t* offset, int whence);
    ssize_t read(char* buffer, std::size_t size);
    const Block* blockAt(off_t start);

    int m_fd = -1;
    off_t m_size = 0;
    off_t m_position = 0;
    Block m_blocks[kBlocks];
    std::size_t m_next = 0; // the block replaced next
    std::unique_ptr<char[]> m_bytes;
    std::unique_ptr<char[]> m_streamBuffer;
};

} // namespace aster
