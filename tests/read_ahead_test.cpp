// Reading ahead must be invisible: on any folder the run with a pool of reading threads
// writes the same bytes and shows the same messages, in the same order, as a run that
// reads every file in its turn.
#include "catalogue/build_run.h"
#include "fileio/long_path.h"
#include "readahead/scene_files.h"
#include "tests/fake_hosts.h"
#include "tests/scene_samples.h"
#include "tests/test_support.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <set>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace aster {
namespace {

struct Outcome {
    std::optional<Error> error;
    std::vector<std::string> messages;
    std::string table;
    std::string polys;
};

Outcome RunOnce(const test::TempFolder& folder, bool blanks, int style,
                const ReadAheadSettings& settings) {
    // Each run starts from the same earlier outputs, which the list may name.
    folder.write("table.txt", "earlier table\r\n");
    folder.write("polys.txt", "GROUP earlier polys Value = (1, 2, 3, 4)\r\n");
    test::FakeCatalogueHost host(folder.path());
    host.recordQueries = false;
    host.blanks = blanks;
    host.polys = style == 1;
    host.spread = style == 2;
    Outcome outcome;
    outcome.error = MakeTextFiles(host, settings);
    outcome.messages = host.messages;
    outcome.table = folder.read("table.txt");
    outcome.polys = folder.read("polys.txt");
    return outcome;
}

// A folder of every kind of listed entry, in random order and number.
void MakeRandomFolder(const test::TempFolder& folder, std::mt19937& random) {
    std::string list;
    const int entries = std::uniform_int_distribution(0, 80)(random);
    for (int i = 0; i < entries; ++i) {
        const std::string name = "e" + std::to_string(i) + ".met";
        const std::string path = folder.file(name);
        std::string line = name;
        switch (std::uniform_int_distribution(0, 11)(random)) {
        case 0:
        case 1:
        case 2: {
            const auto coordinate = [&] {
                return std::to_string(std::uniform_int_distribution(-180, 180)(random));
            };
            folder.write(name,
                         test::SceneText(std::to_string(i), "2001-01-0" + std::to_string(i % 9),
                                         coordinate() + ", " + coordinate() + ", 3, 4",
                                         coordinate() + ",2,3," + coordinate()));
            break;
        }
        case 3:
            folder.write(name, ""); // blank
            break;
        case 4:
            break; // listed but missing
        case 5:
            ::mkfifo(path.c_str(), 0644);
            break;
        case 6:
            ::mkdir(path.c_str(), 0755);
            break;
        case 7: // larger than the bytes the test lets the pool hold
            folder.write(name, test::SceneText(std::string(40000, 't'), "d", "1,2,3,4", "5,6,7,8"));
            break;
        case 8: // over the size any scene may have: never read
            folder.write(name, "GROUP");
            ::truncate(path.c_str(), (off_t{1} << 30) + 1);
            break;
        case 9: {
            const char* outputs[] = {"table.txt", "polys.txt", "filelist.txt"};
            const char* output = outputs[std::uniform_int_distribution(0, 2)(random)];
            if (random() % 2)
                ::symlink(output, path.c_str());
            else
                line = output;
            break;
        }
        case 10:
            line = "e" + std::to_string(i) + "*.met"; // names no single file
            break;
        default:
            folder.write(name, "not a scene");
            break;
        }
        list += line + "\r\n";
    }
    folder.write("filelist.txt", list);
}

TEST(ReadAhead, SameBytesAndMessagesAsReadingInTurn) {
    const ReadAheadSettings inTurn{0, 1, 0};
    const ReadAheadSettings narrow{8, 3, 30000};
    const ReadAheadSettings wide{16, 64, std::size_t{64} << 20};
    for (unsigned seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 random(seed);
        test::TempFolder folder;
        MakeRandomFolder(folder, random);
        const bool blanks = random() % 4 != 0;
        const int style = static_cast<int>(random() % 7 == 0 ? 0 : 1 + random() % 2);
        const Outcome expected = RunOnce(folder, blanks, style, inTurn);
        ASSERT_FALSE(expected.error) << expected.error->description;
        for (const ReadAheadSettings& settings : {narrow, wide}) {
            const Outcome got = RunOnce(folder, blanks, style, settings);
            ASSERT_FALSE(got.error) << got.error->description;
            EXPECT_EQ(got.messages, expected.messages);
            EXPECT_EQ(got.table, expected.table);
            EXPECT_EQ(got.polys, expected.polys);
        }
    }
}

TEST(ReadAhead, ListErrorsStopAtTheirLineAfterEverythingBefore) {
    test::TempFolder folder;
    folder.write("a.met", "");
    std::string list;
    for (int i = 0; i < 200; ++i)
        list += "a.met\r\n";
    folder.write("filelist.txt", list + std::string(70000, 'x') + "\r\na.met\r\n");
    for (const ReadAheadSettings& settings : {ReadAheadSettings{0, 1, 0}, ReadAheadSettings{}}) {
        test::FakeCatalogueHost host(folder.path());
        host.blanks = true;
        host.spread = true;
        const auto error = MakeTextFiles(host, settings);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code, ENAMETOOLONG);
        EXPECT_EQ(host.messages.size(), 200u);
    }
}

TEST(ReadAhead, ProgressCountsEveryListedFileAndStopChangesNothing) {
    test::TempFolder folder;
    folder.write("a.met", test::ExampleScene());
    folder.write("filelist.txt", "a.met\r\na.met\r\na.met\r\na.met\r\na.met");
    struct Host : test::FakeCatalogueHost {
        using FakeCatalogueHost::FakeCatalogueHost;
        std::vector<std::pair<std::int64_t, std::int64_t>> steps;
        std::int64_t stopAfter = -1;
        void progress(std::int64_t done, std::int64_t total) override {
            steps.emplace_back(done, total);
        }
        bool cancelRequested() override {
            return static_cast<std::int64_t>(steps.size()) == stopAfter;
        }
    };
    Host whole(folder.path());
    whole.polys = true;
    ASSERT_FALSE(MakeTextFiles(whole));
    EXPECT_EQ(whole.steps, (decltype(whole.steps){{1, 5}, {2, 5}, {3, 5}, {4, 5}, {5, 5}}));

    const std::string polys = folder.read("polys.txt");
    Host stopped(folder.path());
    stopped.spread = true;
    stopped.stopAfter = 2;
    const auto error = MakeTextFiles(stopped);
    ASSERT_TRUE(error);
    EXPECT_TRUE(IsCancellation(*error));
    EXPECT_EQ(FormatError(*error), "Stopped after 2 of 5 listed files. Nothing was changed.");
    EXPECT_EQ(folder.read("polys.txt"), polys);
    EXPECT_EQ(folder.read("table.txt"), "");
}

// A file that cannot be opened for want of descriptors says nothing of the file: under
// every limit the run either writes every scene or fails and changes nothing.
TEST(ReadAhead, TooFewDescriptorsFailTheRunOrLeaveNoSceneOut) {
    test::TempFolder folder;
    std::string list;
    for (int i = 0; i < 40; ++i) {
        folder.write("s" + std::to_string(i) + ".met", test::ExampleScene());
        list += "s" + std::to_string(i) + ".met\r\n";
    }
    folder.write("filelist.txt", list);
    const Outcome whole = RunOnce(folder, true, 2, ReadAheadSettings{});
    ASSERT_FALSE(whole.error);
    constexpr int kWhole = 0, kFailedUnchanged = 1, kOther = 2;
    std::set<int> seen;
    const std::size_t open = test::OpenDescriptorCount();
    for (std::size_t room = 0; room <= 16; ++room) {
        SCOPED_TRACE("descriptors beyond those open: " + std::to_string(room));
        const int status = test::InChild([&] {
            const rlimit few{open + room, open + room};
            if (::setrlimit(RLIMIT_NOFILE, &few) != 0)
                return test::kSkip;
            const Outcome got = RunOnce(folder, true, 2, ReadAheadSettings{});
            if (!got.error)
                return got.table == whole.table && got.messages.empty() ? kWhole : kOther;
            const bool unchanged = got.table == "earlier table\r\n" &&
                                   got.polys == "GROUP earlier polys Value = (1, 2, 3, 4)\r\n";
            return unchanged ? kFailedUnchanged : kOther;
        });
        if (status == test::kSkip)
            GTEST_SKIP() << "the descriptor limit cannot be lowered here";
        EXPECT_NE(status, kOther);
        seen.insert(status);
    }
    EXPECT_EQ(seen, (std::set<int>{kWhole, kFailedUnchanged}));
}

// What the caller prepares from each file reaches it once, in list order, as a value of
// its own type, whether a reading thread made it or, after a reading thread failed, the run.
// Each worker number is one thread's at a time, and the run's thread is worker 0, so that
// what a worker keeps needs no lock. Results the run is done with are freed once each,
// no later than a ring's turn after, and none outlives the scenes.
TEST(ReadAhead, PreparedResultsComeOnceInListOrder) {
    test::TempFolder folder;
    std::string list;
    for (int i = 1; i <= 300; ++i) {
        const std::string name = "s" + std::to_string(i) + ".met";
        if (i % 11 != 0)
            folder.write(name, "scene " + std::to_string(i));
        list += name + "\r\n";
    }
    folder.write("filelist.txt", list);
    const std::thread::id run = std::this_thread::get_id();
    for (const ReadAheadSettings& settings :
         {ReadAheadSettings{0, 1, 0}, ReadAheadSettings{4, 3, 30}, ReadAheadSettings{}}) {
        SCOPED_TRACE("threads " + std::to_string(settings.threads));
        std::atomic<int> made{0};
        std::atomic<int> failed{0};
        std::vector<std::atomic<bool>> busy(settings.workers());
        std::atomic<int> clashes{0};
        std::atomic<int> alive{0};
        const auto counted = [&alive](std::string text) {
            ++alive;
            return std::shared_ptr<std::string>(new std::string(std::move(text)),
                                                [&alive](std::string* freed) {
                                                    --alive;
                                                    delete freed;
                                                });
        };
        const auto prepare = [&](const ListedScene& scene, std::size_t worker) {
            EXPECT_LT(worker, settings.workers());
            EXPECT_EQ(worker == 0, std::this_thread::get_id() == run);
            if (std::this_thread::get_id() != run && scene.number % 7 == 0) {
                ++failed;
                throw std::runtime_error("made again in the run's turn");
            }
            if (busy.at(worker).exchange(true))
                ++clashes;
            std::this_thread::yield(); // room for another thread as the same worker
            ++made;
            auto result = counted(std::to_string(scene.number) + ":" + std::string(scene.text));
            busy[worker] = false;
            return result;
        };
        std::shared_ptr<std::string> prepared;
        int expected = 0;
        int mostAlive = 0;
        {
            PreparedScenes<std::shared_ptr<std::string>> scenes(settings, prepare);
            ASSERT_FALSE(scenes.open(folder.path() + "/"));
            ListedScene scene;
            while (scenes.next(scene, prepared)) {
                ++expected;
                ASSERT_EQ(scene.number, expected);
                ASSERT_TRUE(prepared);
                const std::string text =
                    expected % 11 != 0 ? "scene " + std::to_string(expected) : "";
                EXPECT_EQ(*prepared, std::to_string(expected) + ":" + text);
                EXPECT_EQ(scene.text, text);
                mostAlive = std::max(mostAlive, alive.load());
            }
            EXPECT_FALSE(scenes.error());
        }
        // The ring's places, the run's own and one being made by each worker.
        EXPECT_LE(mostAlive, static_cast<int>(settings.maxFiles + 1 + settings.workers()));
        prepared.reset();
        EXPECT_EQ(alive.load(), 0);
        EXPECT_EQ(expected, 300);
        EXPECT_EQ(made.load(), 300);
        EXPECT_EQ(clashes.load(), 0);
        if (settings.threads == 0) {
            EXPECT_EQ(failed.load(), 0);
        }
    }
}

// `count` folders of 100 bytes of path each, "ddd.../", for trees whose paths are longer
// than one system call takes.
std::string Folders(int count) {
    std::string path;
    for (int i = 0; i < count; ++i)
        path += std::string(99, 'd') + '/';
    return path;
}

// The folders of `path` made beneath `top` one at a time from their parent, since the
// whole path may be too long for one call, and the last of them opened.
UniqueFd MadeFolders(const std::string& top, std::string_view path) {
    UniqueFd folder(::open(top.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    while (!path.empty()) {
        const std::string name(path.substr(0, path.find('/')));
        path.remove_prefix(std::min(path.size(), name.size() + 1));
        ::mkdirat(folder.get(), name.c_str(), 0755);
        folder = UniqueFd(::openat(folder.get(), name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!folder)
            throw std::runtime_error("cannot make " + name);
    }
    return folder;
}

void WriteAt(int folder, const std::string& name, std::string_view text) {
    const UniqueFd file(
        ::openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!file || ::write(file.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        throw std::runtime_error("cannot write " + name);
}

// A path from a folder is opened and stat'ed whatever its length, from its leading folders
// when one call cannot take it whole, and fails as one call would for any other reason.
TEST(LongPaths, OpenAndStatReachAPathOfAnyLength) {
    test::TempFolder folder;
    WriteAt(MadeFolders(folder.path(), "").get(), "short.met", "short");
    const UniqueFd at40 = MadeFolders(folder.path(), Folders(40));
    WriteAt(at40.get(), std::string(95, 'u'), "under");
    WriteAt(at40.get(), std::string(96, 'o'), "over");
    WriteAt(MadeFolders(folder.path(), Folders(100)).get(), "far.met", "far");
    const UniqueFd at30 = MadeFolders(folder.path(), Folders(30));
    ::symlinkat(".", at30.get(), "again");
    const UniqueFd at60 = MadeFolders(folder.path(), Folders(60));
    ::symlinkat(folder.file("short.met").c_str(), at60.get(), "link.met");
    std::string again;
    for (int i = 0; i < 10; ++i)
        again += "again/";
    const std::string tooLong(NAME_MAX + 1, 'n');

    struct Case {
        const char* what;
        std::string path;
        int error;   // 0 for none
        mode_t type; // what stat and open reach
        std::string text;
    };
    const Case cases[] = {
        {"short", "short.met", 0, S_IFREG, "short"},
        {"4095 bytes, one call", Folders(40) + std::string(95, 'u'), 0, S_IFREG, "under"},
        {"4096 bytes, in pieces", Folders(40) + std::string(96, 'o'), 0, S_IFREG, "over"},
        {"100 folders deep", Folders(100) + "far.met", 0, S_IFREG, "far"},
        {"links followed on the way", Folders(30) + again + Folders(70) + "far.met", 0, S_IFREG,
         "far"},
        {"a link followed at the end", Folders(60) + "link.met", 0, S_IFREG, "short"},
        {"a folder at the end", Folders(100).substr(0, 9999), 0, S_IFDIR, ""},
        {"a missing folder on the way", Folders(20) + "gone/" + Folders(40) + "far.met", ENOENT, 0,
         ""},
        {"a file on the way", Folders(40) + std::string(96, 'o') + "/x.met", ENOTDIR, 0, ""},
        {"a short name over NAME_MAX", tooLong, ENAMETOOLONG, 0, ""},
        {"a name over NAME_MAX, deep", Folders(60) + tooLong + "/far.met", ENAMETOOLONG, 0, ""},
        {"one name of 5000 bytes", std::string(5000, 'n'), ENAMETOOLONG, 0, ""},
    };
    const UniqueFd top(::open(folder.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.what) + ", " + std::to_string(c.path.size()) + " bytes");
        struct stat info {};
        errno = 0;
        const int stated = StatAtAnyLength(top.get(), c.path.c_str(), info, 0);
        EXPECT_EQ(stated == 0 ? 0 : errno, c.error);
        errno = 0;
        const UniqueFd file = OpenAtAnyLength(top.get(), c.path.c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_EQ(file ? 0 : errno, c.error);
        if (c.error != 0 || stated != 0 || !file)
            continue;
        struct stat opened {};
        ASSERT_EQ(::fstat(file.get(), &opened), 0);
        EXPECT_EQ(info.st_mode & S_IFMT, c.type);
        EXPECT_EQ(opened.st_ino, info.st_ino);
        if (c.type == S_IFREG) {
            char text[16] = {};
            EXPECT_EQ(
                std::string(text, std::max<ssize_t>(0, ::read(file.get(), text, sizeof text))),
                c.text);
        }
    }
}

// Files in a tree deeper than one call's path are read, whole or head first, in turn and
// ahead, and one that gives no text is named for what it is, not for its path's length.
TEST(ReadAhead, ReadsFilesWhosePathIsLongerThanOneCallTakes) {
    test::TempFolder folder;
    std::string deep;
    for (int depth = 0; depth < 255; ++depth)
        deep += std::string(200, 'f') + '/';
    const UniqueFd at255 = MadeFolders(folder.path(), deep);
    WriteAt(at255.get(), "deep.met", "a scene 255 folders deep");
    ::mkdirat(at255.get(), "folder.met", 0755);
    WriteAt(MadeFolders(folder.path(), deep.substr(0, 30 * 201)).get(), "mid.met",
            "a scene 30 folders deep");
    WriteAt(MadeFolders(folder.path(), "").get(), "top.met", "a scene at the top");
    const std::vector<std::string> lines = {deep + "deep.met", "top.met", deep + "folder.met",
                                            deep.substr(0, 30 * 201) + "mid.met",
                                            deep + "gone.met"};
    std::string list;
    for (const std::string& line : lines)
        list += line + "\r\n";
    folder.write("filelist.txt", list);
    const std::vector<std::string> texts = {"a scene 255 folders deep", "a scene at the top", "",
                                            "a scene 30 folders deep", ""};
    const std::vector<std::string> reasons = {"", "", "a folder", "", "no such file"};

    const HeadFirst wholeAfterHead{4, 1 << 20, [](std::string_view, std::size_t) { return true; },
                                   0};
    for (const ReadAheadSettings& settings :
         {ReadAheadSettings{0, 1, 0}, ReadAheadSettings{4, 3, 30}}) {
        for (const HeadFirst& headFirst : {HeadFirst{}, wholeAfterHead}) {
            SCOPED_TRACE("threads " + std::to_string(settings.threads) + ", head first " +
                         std::to_string(headFirst.active()));
            ListedScenes scenes(settings, headFirst);
            const std::string prefix = folder.path() + "/";
            ASSERT_FALSE(scenes.open(prefix));
            ListedScene scene;
            std::size_t n = 0;
            for (; scenes.next(scene); ++n) {
                ASSERT_LT(n, lines.size());
                EXPECT_EQ(scene.fullPath, prefix + lines[n]);
                EXPECT_EQ(scene.text, texts[n]);
                if (scene.text.empty()) {
                    EXPECT_EQ(UnreadSceneReason(std::string(scene.fullPath), prefix.size()),
                              reasons[n]);
                }
            }
            EXPECT_FALSE(scenes.error());
            EXPECT_EQ(n, lines.size());
        }
    }
}

} // namespace
} // namespace aster
