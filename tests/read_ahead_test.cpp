// Reading ahead must be invisible: on any folder the run with a pool of reading threads
// writes the same bytes and shows the same messages, in the same order, as a run that
// reads every file in its turn.
#include "catalogue/build_run.h"
#include "tests/fake_hosts.h"
#include "tests/scene_samples.h"
#include "tests/test_support.h"

#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#include <memory>
#include <random>
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

} // namespace
} // namespace aster
