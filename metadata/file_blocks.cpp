#include "metadata/file_blocks.h"

#include "fileio/whole_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace aster {

namespace {
// The stream's own buffer; reads of this size or more go straight to the blocks.
constexpr std::size_t kStreamBufferBytes = 4096;
} // namespace

FileBlocks::FileBlocks()
    : m_bytes(std::make_unique<char[]>(kBlocks * kBlockBytes)),
      m_streamBuffer(std::make_unique<char[]>(kStreamBufferBytes)) {
}

FILE* FileBlocks::open(int fd, off_t size) {
    m_fd = fd;
    m_size = size;
    m_position = 0;
    std::fill(std::begin(m_blocks), std::end(m_blocks), Block{});
    m_next = 0;
    FILE* stream =
        ::fopencookie(this, "r", cookie_io_functions_t{&readStream, nullptr, &seekStream, nullptr});
    if (stream != nullptr)
        std::setvbuf(stream, m_streamBuffer.get(), _IOFBF, kStreamBufferBytes);
    return stream;
}

ssize_t FileBlocks::readStream(void* cookie, char* buffer, std::size_t size) {
    return static_cast<FileBlocks*>(cookie)->read(buffer, size);
}

int FileBlocks::seekStream(void* cookie, off64_t* offset, int whence) {
    auto& blocks = *static_cast<FileBlocks*>(cookie);
    const off64_t base = whence == SEEK_SET   ? 0
                         : whence == SEEK_CUR ? blocks.m_position
                         : whence == SEEK_END ? blocks.m_size
                                              : -1;
    if (base < 0 || *offset < -base) {
        errno = EINVAL;
        return -1;
    }
    blocks.m_position = base + *offset;
    *offset = blocks.m_position;
    return 0;
}

ssize_t FileBlocks::read(char* buffer, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const off_t start = m_position - m_position % off_t{kBlockBytes};
        const Block* block = blockAt(start);
        if (block == nullptr) // a read error: the bytes before it count, the next read fails
            return done > 0 ? static_cast<ssize_t>(done) : -1;
        const auto within = static_cast<std::size_t>(m_position - start);
        if (within >= block->length)
            break; // the end of the file
        const std::size_t count = std::min(size - done, block->length - within);
        std::memcpy(buffer + done,
                    m_bytes.get() + static_cast<std::size_t>(block - m_blocks) * kBlockBytes +
                        within,
                    count);
        done += count;
        m_position += static_cast<off_t>(count);
        if (block->length < kBlockBytes && within + count == block->length)
            break; // a short block ends the file
    }
    return static_cast<ssize_t>(done);
}

const FileBlocks::Block* FileBlocks::blockAt(off_t start) {
    for (const Block& block : m_blocks) {
        if (block.start == start)
            return &block;
    }
    Block& block = m_blocks[m_next];
    m_next = (m_next + 1) % kBlocks;
    block.start = -1;
    const std::size_t index = static_cast<std::size_t>(&block - m_blocks);
    if (const int err =
            ReadAt(m_fd, m_bytes.get() + index * kBlockBytes, kBlockBytes, start, block.length)) {
        errno = err;
        return nullptr;
    }
    block.start = start;
    return &block;
}

} // namespace aster
