// A folder that mixes scene metadata with large images and HDF files: the run reads the
// metadata whole and only the first bytes of everything else, whether it reads ahead or
// not, and a FIFO or device listed never stalls it.
#include "readahead/listed_scenes.h"
#include "metadata/scene_footprint.h"
#include "metadata/scene_metadata.h"
#include "tests/granule_samples.h"
#include "tests/test_support.h"

#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <ostream>
#include <sys/stat.h>
#include <unistd.h>

namespace aster {
namespace {

// A file of `size` bytes that holds `head` and, at `later`, `tail`; the rest is a hole,
// so that it takes no room on the disk.
void SparseFile(const std::string& path, const std::string& head, off_t size, off_t later = 0,
                const std::string& tail = "") {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, head.data(), head.size(), 0), static_cast<ssize_t>(head.size()));
    if (!tail.empty()) {
        ASSERT_EQ(::pwrite(fd, tail.data(), tail.size(), later), static_cast<ssize_t>(tail.size()));
    }
    ASSERT_EQ(::ftruncate(fd, size), 0);
    ::close(fd);
}

struct Seen {
    std::string name;
    TextExtent extent;
    std::size_t bytes;
    std::string reason; // empty when the metadata read
    bool operator==(const Seen&) const = default;
    friend std::ostream& operator<<(std::ostream& out, const Seen& seen) {
        return out << seen.name << " " << static_cast<int>(seen.extent) << " " << seen.bytes << " '"
                   << seen.reason << "'";
    }
};

std::vector<Seen> ReadFolder(const test::TempFolder& folder, const ReadAheadSettings& settings) {
    const HeadFirst headFirst = SceneFootprintReader::headFirst();
    const auto prepare = [](const ListedScene& scene, std::size_t) {
        if (scene.extent == TextExtent::TooLarge)
            return std::string("larger than 16 MiB");
        return ReadSceneMetadata(scene.text).reason;
    };
    PreparedScenes<std::string> scenes(settings, prepare, headFirst);
    EXPECT_FALSE(scenes.open(folder.path() + "/"));
    std::vector<Seen> seen;
    ListedScene scene;
    std::string reason;
    while (scenes.next(scene, reason)) {
        const std::string path(scene.fullPath);
        seen.push_back({path.substr(path.rfind('/') + 1), scene.extent, scene.text.size(), reason});
    }
    EXPECT_FALSE(scenes.error());
    return seen;
}

TEST(HeadFirst, OnlyMetadataIsReadWhole) {
    test::TempFolder folder;
    const std::string granule = test::GranuleOdl();
    // Metadata longer than the head, so that it must be read on to the end.
    const std::string longXml = test::GranuleXml() + "<!--" + std::string(20000, '.') + "-->\n";
    ASSERT_GT(granule.size(), kLayoutSniffBytes);
    folder.write("a.met", granule);
    folder.write("a.hdf.xml", longXml);
    folder.write("short.met", "GROUP = X\nEND_GROUP\n");
    // Past the size read whole at once, with a comment longer than the head before its root.
    std::string lateRoot = test::GranuleXml();
    lateRoot.insert(lateRoot.find("?>") + 2, "<!--" + std::string(80000, '.') + "-->");
    folder.write("late.hdf.xml", lateRoot);
    // 200 MB of HDF; and an image that holds a whole granule past its head, which only a
    // whole read would find.
    SparseFile(folder.file("a.hdf"), "\x0e\x03\x13\x01", 200'000'000);
    SparseFile(folder.file("a_T.tif"), std::string("II*\0", 4), 50'000'000, 100'000, granule);
    folder.write("a.jpg", "\xff\xd8\xff\xe0 a small image");
    // Metadata as far as its head goes, but larger than any metadata may be.
    SparseFile(folder.file("huge.met"), "GROUP = X\n", 20 << 20);
    ASSERT_EQ(::mkfifo(folder.file("fifo.met").c_str(), 0644), 0);
    ASSERT_EQ(::symlink("/dev/zero", folder.file("zero.met").c_str()), 0);
    std::string list;
    for (const char* name :
         {"a.met", "a.hdf", "a.hdf.xml", "late.hdf.xml", "a_T.tif", "a.jpg", "short.met",
          "huge.met", "fifo.met", "zero.met", "missing.met", "a.met"})
        list += std::string(name) + "\r\n";
    folder.write("filelist.txt", list);

    const std::vector<Seen> expected{
        {"a.met", TextExtent::Whole, granule.size(), ""},
        {"a.hdf", TextExtent::Head, kLayoutSniffBytes, "not scene metadata"},
        {"a.hdf.xml", TextExtent::Whole, longXml.size(), ""},
        {"late.hdf.xml", TextExtent::Whole, lateRoot.size(), ""},
        {"a_T.tif", TextExtent::Head, kLayoutSniffBytes, "not scene metadata"},
        {"a.jpg", TextExtent::Whole, 18, "not scene metadata"},
        {"short.met", TextExtent::Whole, 20, "no corners"},
        {"huge.met", TextExtent::TooLarge, kLayoutSniffBytes, "larger than 16 MiB"},
        {"fifo.met", TextExtent::Whole, 0, "not scene metadata"},
        {"zero.met", TextExtent::Whole, 0, "not scene metadata"},
        {"missing.met", TextExtent::Whole, 0, "not scene metadata"},
        {"a.met", TextExtent::Whole, granule.size(), ""},
    };
    const ReadAheadSettings inTurn{0, 1, 0};
    const ReadAheadSettings narrow{4, 3, 8192}; // too few bytes in flight for the long file
    const ReadAheadSettings wide{};
    for (const ReadAheadSettings& settings : {inTurn, narrow, wide}) {
        SCOPED_TRACE("threads " + std::to_string(settings.threads));
        const long long before = test::BytesRead();
        EXPECT_EQ(ReadFolder(folder, settings), expected);
        const long long read = test::BytesRead() - before;
        // The list, the metadata twice, four heads: well under a megabyte of 270.
        EXPECT_LT(read, 1'000'000);
        EXPECT_GT(read, static_cast<long long>(2 * granule.size() + longXml.size()));
    }
}

} // namespace
} // namespace aster
