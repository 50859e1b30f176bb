// The stream over kept blocks against glibc's own file stream: the same answers to the
// same seeks and reads, and each block read from the file once while it is kept.
#include "fileio/unique_fd.h"
#include "metadata/file_blocks.h"
#include "tests/test_support.h"

#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace aster {
namespace {

struct CloseStream {
    void operator()(FILE* stream) const { std::fclose(stream); }
};
using Stream = std::unique_ptr<FILE, CloseStream>;

off_t SizeOf(int fd) {
    struct stat status {};
    return ::fstat(fd, &status) == 0 ? status.st_size : 0;
}

// What one step did to a stream, as one text to compare.
std::string Step(FILE* stream, std::mt19937& random, off_t size) {
    const int whence = static_cast<int>(random() % 4);
    if (whence < 3) {
        const long span = static_cast<long>(size) + 2 * static_cast<long>(FileBlocks::kBlockBytes);
        const long offset = static_cast<long>(random() % static_cast<unsigned long>(span + 1)) -
                            (whence == SEEK_SET ? 16 : span / 2);
        const int sought = std::fseek(stream, offset, whence);
        return "seek " + std::to_string(sought) + " at " + std::to_string(std::ftell(stream));
    }
    std::string bytes(1 + random() % (3 * FileBlocks::kBlockBytes), '\0');
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), stream));
    return "read " + bytes + " eof " + std::to_string(std::feof(stream) != 0) + " error " +
           std::to_string(std::ferror(stream) != 0) + " at " + std::to_string(std::ftell(stream));
}

TEST(FileBlocks, AnswersAsTheSystemsOwnStream) {
    const test::TempFolder folder;
    std::mt19937 random(11);
    FileBlocks blocks;
    const std::size_t block = FileBlocks::kBlockBytes;
    // Sizes about block edges, and one of more blocks than are kept.
    for (const std::size_t size : {std::size_t{0}, std::size_t{1}, block - 1, block, block + 1,
                                   3 * block + 7, (FileBlocks::kBlocks + 3) * block + 5}) {
        std::string bytes(size, '\0');
        for (char& byte : bytes)
            byte = static_cast<char>(random());
        folder.write("f", bytes);
        const UniqueFd fd(::open(folder.file("f").c_str(), O_RDONLY | O_CLOEXEC));
        const Stream own(std::fopen(folder.file("f").c_str(), "r"));
        const Stream kept(blocks.open(fd.get(), SizeOf(fd.get())));
        ASSERT_TRUE(own && kept);
        for (int step = 0; step < 400; ++step) {
            std::mt19937 again = random;
            const std::string expected = Step(own.get(), random, static_cast<off_t>(size));
            ASSERT_EQ(Step(kept.get(), again, static_cast<off_t>(size)), expected)
                << size << " bytes, step " << step;
        }
        EXPECT_EQ(::lseek(fd.get(), 0, SEEK_CUR), 0); // the descriptor's offset untouched
    }
}

TEST(FileBlocks, ReadsAKeptBlockOnceAndTellsAReadError) {
    const test::TempFolder folder;
    folder.write("f", std::string(10 * FileBlocks::kBlockBytes, 'x'));
    const UniqueFd fd(::open(folder.file("f").c_str(), O_RDONLY | O_CLOEXEC));
    FileBlocks blocks;
    const Stream kept(blocks.open(fd.get(), SizeOf(fd.get())));
    const long long before = test::BytesRead();
    char bytes[100];
    for (int round = 0; round < 50; ++round) { // back and forth over two blocks
        for (const long offset : {10L, static_cast<long>(FileBlocks::kBlockBytes) + 10}) {
            ASSERT_EQ(std::fseek(kept.get(), offset, SEEK_SET), 0);
            ASSERT_EQ(std::fread(bytes, 1, sizeof bytes, kept.get()), sizeof bytes);
        }
    }
    // Two blocks, and the count's own small read; a stream that read at every seek would
    // read a hundred times.
    EXPECT_LT(test::BytesRead() - before, 3 * static_cast<long long>(FileBlocks::kBlockBytes));

    const UniqueFd folderFd(::open(folder.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const Stream broken(blocks.open(folderFd.get(), 4096));
    EXPECT_EQ(std::fread(bytes, 1, sizeof bytes, broken.get()), 0U);
    EXPECT_TRUE(std::ferror(broken.get()));
}

} // namespace
} // namespace aster
