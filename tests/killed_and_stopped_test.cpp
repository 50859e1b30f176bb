// What runs that were killed or stopped leave behind: a killed run's scratch folder goes
// at the next listing or footprint run, and a stop, however late it comes, publishes
// nothing.
#include "catalogue/build_run.h"
#include "fileio/scratch_folder.h"
#include "listing/folder_listing.h"
#include "tests/fake_hosts.h"
#include "tests/scene_samples.h"
#include "tests/test_support.h"

#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace aster {
namespace {

using test::TempFolder;
using Names = std::set<std::string>;

Names HiddenEntries(const TempFolder& folder) {
    Names names;
    for (const auto& entry : std::filesystem::directory_iterator(folder.path())) {
        const std::string name = entry.path().filename().string();
        if (name.front() == '.')
            names.insert(name);
    }
    return names;
}

// Sets the modification time of `path` and, for a folder, of everything in it an hour back.
void Backdate(const std::string& path, bool contentsToo = true) {
    const timespec old[2] = {{0, UTIME_OMIT}, {std::time(nullptr) - 3600, 0}};
    if (contentsToo && std::filesystem::is_directory(std::filesystem::symlink_status(path))) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(path))
            ::utimensat(AT_FDCWD, entry.path().c_str(), old, AT_SYMLINK_NOFOLLOW);
    }
    ::utimensat(AT_FDCWD, path.c_str(), old, AT_SYMLINK_NOFOLLOW);
}

// A footprint run killed while it writes: its scratch folder holds a partial layer, a
// folder-shaped part of one and a link to a file outside. Returns the folder's name.
std::string KilledRun(const TempFolder& folder, const std::string& outside) {
    const Names before = HiddenEntries(folder);
    const int status = test::InChild([&] {
        ScratchFolder scratch;
        if (scratch.create(folder.path(), folder.file("fp.gpkg")))
            return 1;
        std::ofstream(scratch.path() + "/fp.gpkg") << std::string(100000, 'x');
        std::filesystem::create_directories(scratch.path() + "/fp.gdb/inner");
        std::ofstream(scratch.path() + "/fp.gdb/inner/a0000001.gdbtable") << "partial";
        std::filesystem::create_symlink(outside, scratch.path() + "/link");
        ::raise(SIGKILL);
        return 1;
    });
    EXPECT_EQ(status, 128 + SIGKILL);
    Names after = HiddenEntries(folder);
    for (const std::string& name : before)
        after.erase(name);
    EXPECT_EQ(after.size(), 1u);
    return after.empty() ? std::string() : *after.begin();
}

TEST(KilledRuns, LeftScratchFoldersGoAtTheNextListingOrFootprintRun) {
    const std::pair<const char*, std::function<void(const TempFolder&)>> cleaners[] = {
        {"a listing",
         [](const TempFolder& folder) {
             test::FakeListingHost host(folder.path());
             EXPECT_FALSE(ListTheFiles(host));
         }},
        {"a footprint run's clean-up",
         [](const TempFolder& folder) { RemoveStaleScratch(folder.path()); }},
        // A run stopped at once leaves what is left for a later one.
        {"a stopped run's clean-up",
         [](const TempFolder& folder) { RemoveStaleScratch(folder.path(), [] { return false; }); }},
    };
    for (const auto& [cleaner, clean] : cleaners) {
        const bool stopped = std::string_view(cleaner) == "a stopped run's clean-up";
        SCOPED_TRACE(cleaner);
        TempFolder outside;
        outside.write("keep.txt", "not the run's");
        TempFolder folder;
        const std::string left = KilledRun(folder, outside.file("keep.txt"));
        Backdate(folder.file(left));
        const std::string young = KilledRun(folder, outside.file("keep.txt"));
        const std::string stillWriting = KilledRun(folder, outside.file("keep.txt"));
        Backdate(folder.file(stillWriting), false); // the layer itself was written just now
        ScratchFolder live;
        ASSERT_FALSE(live.create(folder.path(), folder.file("fp.gpkg")));
        std::ofstream(live.path() + "/fp.gpkg") << "being written";
        const std::string liveName = std::filesystem::path(live.path()).filename().string();
        Backdate(live.path());
        // A user's own folders: one of another name, and of names a run could have made,
        // one private as mkdtemp would make it.
        for (const auto& [own, mode] :
             {std::pair{".aster-notes", 0755}, {".aster-photos", 0755}, {".aster-config", 0700}}) {
            ::mkdir(folder.file(own).c_str(), mode);
            folder.write(std::string(own) + "/mine.txt", "mine");
            Backdate(folder.file(own));
        }

        clean(folder);
        Names kept{young, stillWriting, liveName, ".aster-config", ".aster-notes", ".aster-photos"};
        if (stopped)
            kept.insert(left);
        EXPECT_EQ(HiddenEntries(folder), kept);
        EXPECT_EQ(outside.read("keep.txt"), "not the run's");
        EXPECT_EQ(folder.read(".aster-photos/mine.txt"), "mine");
        EXPECT_EQ(folder.read(".aster-config/mine.txt"), "mine");
        std::ifstream partial(live.path() + "/fp.gpkg");
        std::string text;
        std::getline(partial, text);
        EXPECT_EQ(text, "being written");
    }
}

// A host that is told to stop at its `stopAt`-th question, or while its message is shown.
struct StoppingHost : test::FakeCatalogueHost, test::FakeListingHost {
    StoppingHost(const std::string& folder, int stopAt)
        : FakeCatalogueHost(folder), FakeListingHost(folder), m_stopAt(stopAt) {}
    std::string folderPath() override { return FakeListingHost::folderPath(); }
    bool cancelRequested() override { return m_stopped = m_stopped || ++asked >= m_stopAt; }
    void showMessage(const std::string& prompt) override {
        FakeCatalogueHost::showMessage(prompt);
        m_stopped = m_stopped || stopAtMessage;
    }
    int asked = 0;
    bool stopAtMessage = false;

  private:
    int m_stopAt;
    bool m_stopped = false;
};

// However late a stop comes, up to the last moment before the outputs are published,
// nothing changes; a stop that never comes lets the procedure publish.
TEST(StoppedRuns, AStopAtAnyMomentBeforePublishingChangesNothing) {
    struct Case {
        const char* name;
        bool listing;
        bool spread;
        bool stopAtMessage;
    };
    const Case cases[] = {
        {"listing", true, false, false},
        {"table", false, true, false},
        {"no style chosen, stopped during its message", false, false, true},
    };
    for (const Case& c : cases) {
        for (int stopAt = 1;; ++stopAt) {
            SCOPED_TRACE(std::string(c.name) + ", stopped at question " + std::to_string(stopAt));
            ASSERT_LT(stopAt, 100);
            TempFolder folder;
            folder.write("a.met", test::ExampleScene());
            folder.write("b.met", test::ExampleScene());
            folder.write("filelist.txt", "a.met\r\nb.met\r\n");
            folder.write("table.txt", "earlier table\r\n");
            folder.write("polys.txt", "earlier polys\r\nEnd\r\n");
            StoppingHost host(folder.path(), c.stopAtMessage ? 1000 : stopAt);
            host.spread = c.spread;
            host.stopAtMessage = c.stopAtMessage;
            const std::optional<Error> error = c.listing ? ListTheFiles(host) : MakeTextFiles(host);
            const bool stopped = c.stopAtMessage || host.asked >= stopAt;
            if (!stopped) {
                EXPECT_FALSE(error);
                EXPECT_NE(folder.read("filelist.txt") + folder.read("table.txt") +
                              folder.read("polys.txt"),
                          "a.met\r\nb.met\r\nearlier table\r\nearlier polys\r\nEnd\r\n");
                break;
            }
            ASSERT_TRUE(error);
            EXPECT_TRUE(IsCancellation(*error)) << error->description;
            EXPECT_TRUE(error->description.ends_with("Nothing was changed.")) << error->description;
            EXPECT_EQ(folder.read("filelist.txt") + folder.read("table.txt") +
                          folder.read("polys.txt"),
                      "a.met\r\nb.met\r\nearlier table\r\nearlier polys\r\nEnd\r\n");
            if (c.stopAtMessage)
                break;
        }
    }
}

} // namespace
} // namespace aster
