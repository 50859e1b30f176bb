// HDF-EOS files made here with the HDF4 library itself: their ECS texts read back whole,
// and cut, foreign or unlabelled files told by a reason.
#include "fileio/unique_fd.h"
#include "metadata/hdf_texts.h"
#include "tests/hdf_samples.h"
#include "tests/test_support.h"

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <thread>
#include <vector>


namespace aster {
namespace {

using test::Attribute;
using test::WriteHdf;

HdfTextsOrReason ReadFile(const std::string& path) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    return ReadHdfTexts(fd.get());
}

// The library in a helper process, as the installed command line reads.
HdfTextsOrReason ReadFileInHelper(const std::string& path) {
    static HdfReader helped(HdfReaderSettings{ASTER_HDF_READER_PROGRAM});
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    return helped.read(fd.get());
}

constexpr std::pair<const char*, HdfTextsOrReason (*)(const std::string&)> kBothWays[] = {
    {"here", &ReadFile}, {"in a helper", &ReadFileInHelper}};

// What a read gives, as one text to compare: the three texts, or the reason.
std::string Outcome(const HdfTextsOrReason& got) {
    if (!got.texts)
        return "reason: " + got.reason;
    return got.texts->core + "|" + got.texts->product + "|" + got.texts->archive;
}

TEST(HdfTexts, ReadsTheTextsJoinedInTheOrderOfTheirNumbers) {
    std::vector<Attribute> eleven; // written .10 first: parts go by number, not file order
    for (int n = 10; n >= 0; --n)
        eleven.push_back({"coremetadata." + std::to_string(n), std::to_string(n) + ","});
    const struct {
        const char* what;
        std::vector<Attribute> attributes;
        std::string expected;
    } cases[] = {
        {"core only", {{"coremetadata.0", "GROUP = INVENTORYMETADATA\nEND\n"}},
         "GROUP = INVENTORYMETADATA\nEND\n||"},
        {"split", {{"coremetadata.1", "B"}, {"coremetadata.0", "A"}}, "AB||"},
        {"eleven parts", eleven, "0,1,2,3,4,5,6,7,8,9,10,||"},
        {"all three, telescope texts aside",
         {{"HDFEOSVersion", "HDFEOS_V2.7"}, {"productmetadata.v", "V"}, {"coremetadata.0", "C"},
          {"productmetadata.0", "P"}, {"archivemetadata.0", "A"}, {"productmetadata.1", "Q"}},
         "C|PQ|A"},
        {"names in any case",
         {{"CoreMetadata.0", "C"}, {"PRODUCTMETADATA.0", "P"}, {"ArchiveMetaData.0", "A"}},
         "C|P|A"},
        {"the first of a number kept", {{"coremetadata.0", "C"}, {"COREMETADATA.0", "D"}}, "C||"},
        {"ending NULs dropped",
         {{"coremetadata.0", std::string("ab\0", 3)}, {"coremetadata.1", std::string("c\0\0", 3)}},
         "abc||"},
        {"bytes of any sign", {{"coremetadata.0", "\xff", DFNT_UINT8}}, "\xff||"},
        {"no ECS attributes", {{"HDFEOSVersion", "HDFEOS_V2.7"}},
         "reason: HDF file without ECS metadata"},
        {"product without core", {{"productmetadata.0", "P"}},
         "reason: HDF file without ECS metadata"},
        {"no part numbers",
         {{"coremetadata", "C"}, {"coremetadata.", "C"}, {"coremetadata.x", "C"},
          {"coremetadata.-1", "C"}, {"coremetadata.0 ", "C"}, {"coremetadata.0", "1234", DFNT_INT32}},
         "reason: HDF file without ECS metadata"},
    };
    const test::TempFolder folder;
    for (const auto& c : cases) {
        WriteHdf(folder.file("a.hdf"), c.attributes);
        EXPECT_EQ(Outcome(ReadFile(folder.file("a.hdf"))), c.expected) << c.what;
        std::filesystem::remove(folder.file("a.hdf"));
    }
}

TEST(HdfTexts, ReadsOnlyTheAttributesOfALargeFile) {
    const test::TempFolder folder;
    const std::string core(29'000, 'c');
    WriteHdf(folder.file("large.hdf"), {{"coremetadata.0", core}, {"productmetadata.0", "P"}},
             4096); // 16 MiB of image
    const UniqueFd fd(::open(folder.file("large.hdf").c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(::lseek(fd.get(), 100, SEEK_SET), 100);
    const long long before = test::BytesRead();
    const HdfTextsOrReason got = ReadHdfTexts(fd.get());
    const long long read = test::BytesRead() - before;
    ASSERT_TRUE(got.texts) << got.reason;
    EXPECT_EQ(got.texts->core, core);
    EXPECT_LT(read, 128 << 10) << "of " << std::filesystem::file_size(folder.file("large.hdf"));
    EXPECT_EQ(::lseek(fd.get(), 0, SEEK_CUR), 100); // the caller's offset kept
}

TEST(HdfTexts, ACutForeignOrUnlabelledFileGivesAReason) {
    const test::TempFolder folder;
    WriteHdf(folder.file("whole.hdf"), {{"coremetadata.0", std::string(20'000, 'c')}}, 1024);
    const std::string whole = folder.read("whole.hdf");
    const std::size_t descriptors = test::OpenDescriptorCount();
    for (std::size_t size : {0UL, 3UL, 4UL, 5UL, 10UL, 100UL, 1000UL, 4096UL, whole.size() / 2,
                             whole.size() - 20'000, whole.size() - 2}) {
        folder.write("cut.hdf", whole.substr(0, size));
        EXPECT_EQ(LooksLikeHdf4(whole.substr(0, size)), size >= 4) << size;
        EXPECT_EQ(Outcome(ReadFile(folder.file("cut.hdf"))),
                  size < 4 ? "reason: not an HDF file" : "reason: truncated or damaged HDF")
            << size;
    }
    std::mt19937 random(7); // block lists of any numbers, after the right first bytes
    std::string noise(65536, '\0');
    for (char& byte : noise)
        byte = static_cast<char>(random());
    folder.write("noise.hdf", std::string(kHdf4Magic) + noise);
    EXPECT_FALSE(ReadFile(folder.file("noise.hdf")).reason.empty());
    folder.write("hdf5.h5", "\x89HDF\r\n\x1a\n and more");
    EXPECT_FALSE(LooksLikeHdf4(folder.read("hdf5.h5")));
    EXPECT_EQ(Outcome(ReadFile(folder.file("hdf5.h5"))), "reason: not an HDF file");
    EXPECT_EQ(Outcome(ReadFile(folder.path())), "reason: not an HDF file");
    EXPECT_EQ(test::OpenDescriptorCount(), descriptors);
}

// Where the first block of `tag` lies in the HDF file `path`, by the library's list.
std::pair<int32, int32> BlockOf(const std::string& path, uint16 tag) {
    const int32 file = Hopen(path.c_str(), DFACC_READ, 0);
    uint16 found = 0;
    uint16 ref = 0;
    int32 offset = -1;
    int32 length = -1;
    Hfind(file, tag, DFREF_WILDCARD, &found, &ref, &offset, &length, DF_FORWARD);
    Hclose(file);
    return {offset, length};
}

// Damaged files the library reads wrongly: each gets a reason and leaves the library fit
// for another file read after it through the same descriptor number.
TEST(HdfTexts, ADamagedFileGivesAReasonAndSparesTheNext) {
    const test::TempFolder folder;
    WriteHdf(folder.file("source.hdf"), {{"coremetadata.0", "C"}});
    WriteHdf(folder.file("next.hdf"), {{"coremetadata.0", "next"}});
    const std::string source = folder.read("source.hdf");
    std::string zeroPair = source; // a block list entry of tag 0 and ref 0 started the walk over
    std::fill_n(zeroPair.begin() + 10 + 2 * 12, 4, '\0');
    std::string badHeader = source; // a vdata header of an unknown version, which the library
    const auto [offset, length] = BlockOf(folder.file("source.hdf"), DFTAG_VH); // keeps open
    ASSERT_GT(length, 6);
    badHeader[static_cast<std::size_t>(offset + length - 6)] = '\xff';
    std::string longVersion = source; // the library read it into a 92-byte buffer on its stack
    ASSERT_EQ(source.substr(10, 2), std::string("\0\x1e", 2)); // the version, listed first
    longVersion[10 + 8 + 3] = '\xff';
    for (const auto& [way, read] : kBothWays) {
        for (const auto& [what, bytes] : {std::pair{"tag and ref 0", zeroPair},
                                          std::pair{"unknown header version", badHeader},
                                          std::pair{"version of 255 bytes", longVersion}}) {
            folder.write("bad.hdf", bytes);
            EXPECT_EQ(Outcome(read(folder.file("bad.hdf"))), "reason: unreadable HDF")
                << what << ", " << way;
            EXPECT_EQ(Outcome(read(folder.file("next.hdf"))), "next||") << what << ", " << way;
        }
    }
}

// A scene's text beyond the bound refuses the file; the archive's, which no scene is made
// of, is left out instead.
TEST(HdfTexts, RefusesATextOfMoreThanItsBound) {
    const test::TempFolder folder;
    for (const std::string name : {"productmetadata", "archivemetadata"})
        for (const std::size_t total : {kMaxHdfTextBytes, kMaxHdfTextBytes + 1}) {
            // The library writes no attribute of more than 65535 bytes: hence ECS's parts.
            std::vector<Attribute> parts{{"coremetadata.0", "C"}};
            for (std::size_t done = 0; done < total; done += 65535)
                parts.push_back({name + "." + std::to_string(parts.size() - 1),
                                 std::string(std::min<std::size_t>(65535, total - done), 'a')});
            WriteHdf(folder.file("a.hdf"), parts);
            const HdfTextsOrReason got = ReadFile(folder.file("a.hdf"));
            if (total == kMaxHdfTextBytes)
                EXPECT_EQ(!got.texts                  ? 0
                          : name == "archivemetadata" ? got.texts->archive.size()
                                                      : got.texts->product.size(),
                          total)
                    << got.reason;
            else if (name == "archivemetadata")
                EXPECT_EQ(Outcome(got), "C||");
            else
                EXPECT_EQ(Outcome(got), "reason: productmetadata of more than 16 MiB");
            std::filesystem::remove(folder.file("a.hdf"));
        }
}

// One thread reads for all that wait meanwhile: each must still get its own file's texts,
// or its own reason.
TEST(HdfTexts, ThreadsReadingAtOnceEachGetTheirOwnOutcome) {
    const test::TempFolder folder;
    constexpr int kThreads = 8;
    std::vector<std::string> expected;
    for (int i = 0; i < kThreads; ++i) {
        const std::string name = folder.file(std::to_string(i) + ".hdf");
        const std::string core(5000 + i, static_cast<char>('a' + i));
        WriteHdf(name, {{"coremetadata.0", core}}, 256);
        if (i % 2 == 0) {
            expected.push_back(core + "||");
        } else { // cut: a reason from inside the library
            std::filesystem::resize_file(name, std::filesystem::file_size(name) / 2);
            expected.push_back("reason: truncated or damaged HDF");
        }
    }
    for (const auto& [way, read] : kBothWays) {
        std::vector<int> right(kThreads, 0);
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([&, i, read = read] {
                for (int round = 0; round < 25; ++round)
                    right[i] += Outcome(read(folder.file(std::to_string(i) + ".hdf"))) == expected[i];
            });
        }
        for (std::thread& thread : threads)
            thread.join();
        EXPECT_EQ(right, std::vector<int>(kThreads, 25)) << way;
    }
}

// The processes this one has started and not yet waited for.
std::size_t ChildCount() {
    std::size_t count = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream children(task.path() / "children");
        for (std::string pid; children >> pid;)
            ++count;
    }
    return count;
}

// A helper that crashes, dies with a file, hangs, cannot be started or cannot serve costs
// at most the file it was given: the files around it are read, by a new helper or here,
// and no helper is left behind.
TEST(HdfTexts, AHelperThatFailsCostsOneFileAtMost) {
    const test::TempFolder folder;
    WriteHdf(folder.file("good.hdf"), {{"coremetadata.0", "good"}});
    folder.write("hang", "#!/bin/sh\nexec sleep 30\n");
    // Hangs halfway through its first answer.
    folder.write("stall", "#!/bin/sh\nhead -c 4 <&3 >/dev/null\nprintf abcd >&3\nexec sleep 30\n");
    // Dies as the library would on a file: once it has the file.
    folder.write("crash", "#!/bin/sh\nhead -c 4 <&3 >/dev/null\nkill -SEGV $$\n");
    for (const char* script : {"hang", "crash", "stall"})
        std::filesystem::permissions(folder.file(script), std::filesystem::perms::owner_all);
    const std::string crash = std::string(ASTER_SOURCE_DIR) + "/tests/data/hdf-library-crash.hdf";
    const std::string longVersion =
        std::string(ASTER_SOURCE_DIR) + "/tests/fuzz/corpus/hdf/long-version";
    using std::chrono::milliseconds;
    const struct {
        const char* what;
        std::string program;
        std::vector<std::string> files;
        std::vector<std::string> expected;
        milliseconds within{300};
        milliseconds stopAfter{0}; // the run stopped this long after the first read began
    } cases[] = {
        {"the library crashes",
         ASTER_HDF_READER_PROGRAM,
         {folder.file("good.hdf"), crash, folder.file("good.hdf"), crash},
         {"good||", "reason: unreadable HDF", "good||", "reason: unreadable HDF"}},
        // A program that cannot serve is no file's fault: the files are read here.
        {"it exits at once",
         "/bin/true",
         {folder.file("good.hdf"), folder.file("good.hdf"), longVersion},
         {"good||", "good||", "reason: unreadable HDF"}},
        {"it dies with the file",
         folder.file("crash"),
         {folder.file("good.hdf")},
         {"reason: unreadable HDF"}},
        {"it hangs", folder.file("hang"), {folder.file("good.hdf")}, {"reason: unreadable HDF"}},
        // A stop is heard at once, not after the helper's minute; so is every later read.
        {"it hangs, and the run is stopped",
         folder.file("hang"),
         {folder.file("good.hdf"), folder.file("good.hdf")},
         {"reason: not read: the run was stopped", "reason: not read: the run was stopped"},
         std::chrono::minutes(1),
         milliseconds(200)},
        {"it stalls in its answer",
         folder.file("stall"),
         {folder.file("good.hdf")},
         {"reason: unreadable HDF"}},
        {"it stalls in its answer, and the run is stopped",
         folder.file("stall"),
         {folder.file("good.hdf")},
         {"reason: not read: the run was stopped"},
         std::chrono::minutes(1),
         milliseconds(200)},
        {"it cannot be started",
         folder.file("none"),
         {folder.file("good.hdf"), longVersion},
         {"good||", "reason: unreadable HDF"}}, // the helper's check made here
    };
    const std::size_t descriptors = test::OpenDescriptorCount();
    const std::size_t children = ChildCount();
    for (const auto& c : cases) {
        const auto start = std::chrono::steady_clock::now();
        {
            HdfReader reader(HdfReaderSettings{c.program, c.within});
            const GiveUpWaiting stopped = [&] {
                return c.stopAfter.count() > 0 &&
                       std::chrono::steady_clock::now() - start >= c.stopAfter;
            };
            for (std::size_t i = 0; i < c.files.size(); ++i) {
                const UniqueFd fd(::open(c.files[i].c_str(), O_RDONLY | O_CLOEXEC));
                EXPECT_EQ(Outcome(reader.read(fd.get(), stopped)), c.expected[i])
                    << c.what << ", " << i;
            }
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << c.what;
        EXPECT_EQ(ChildCount(), children) << c.what << ": a helper left";
        EXPECT_EQ(test::OpenDescriptorCount(), descriptors) << c.what;
    }
}

} // namespace
} // namespace aster
