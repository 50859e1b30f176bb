// Outputs are replaced whole: whatever happens during a run or a listing (an error, a
// kill, a second run on the same folder, a link planted at an output's name) every
// output is either the earlier file or one run's whole result.
#include "catalogue/build_run.h"
#include "fileio/fd_stream_buf.h"
#include "fileio/replacement_file.h"
#include "fileio/scratch_folder.h"
#include "fileio/unique_fd.h"
#include "fileio/whole_file.h"
#include "listing/folder_listing.h"
#include "readahead/list_reader.h"
#include "tests/fake_hosts.h"
#include "tests/scene_samples.h"
#include "tests/test_support.h"

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <sched.h>
#include <set>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace aster {
namespace {

using test::FakeCatalogueHost;
using test::TempFolder;
using Names = std::set<std::string>;

Names EntriesOf(const TempFolder& folder) {
    Names names;
    for (const auto& entry : std::filesystem::directory_iterator(folder.path()))
        names.insert(entry.path().filename().string());
    return names;
}

// A folder with two scenes, a list, and the outputs of an earlier run.
struct EarlierRun {
    TempFolder folder;
    EarlierRun() {
        folder.write("a.met", test::ExampleScene());
        folder.write("b.met", "");
        folder.write("filelist.txt", "a.met\r\nb.met\r\n");
        folder.write("table.txt", "yesterday's table\r\n");
        folder.write("polys.txt", "yesterday's polygons\r\nEnd\r\n");
    }
    void expectUnchanged(const Names& entriesBefore) const {
        EXPECT_EQ(folder.read("table.txt"), "yesterday's table\r\n");
        EXPECT_EQ(folder.read("polys.txt"), "yesterday's polygons\r\nEnd\r\n");
        EXPECT_EQ(folder.read("filelist.txt"), "a.met\r\nb.met\r\n");
        EXPECT_EQ(EntriesOf(folder), entriesBefore) << "a scratch file was left behind";
    }
};

using test::InChild;
using test::kSkip;

std::optional<Error> TableRun(const std::string& folder) {
    FakeCatalogueHost host(folder);
    host.spread = true;
    return MakeTextFiles(host);
}

TEST(OutputsReplacedWhole, LinksFifosAndDevicesAtTheNamesAreReplacedNotWrittenThrough) {
    TempFolder outside;
    outside.write("notes.doc", "precious");
    ::mkfifo(outside.file("fifo").c_str(), 0644);
    struct Case {
        const char* name;
        std::function<void(const std::string& at)> plant;
    };
    const Case cases[] = {
        {"link to a file elsewhere",
         [&](const std::string& at) { ::symlink(outside.file("notes.doc").c_str(), at.c_str()); }},
        {"FIFO without a reader", [](const std::string& at) { ::mkfifo(at.c_str(), 0644); }},
        {"link to a FIFO elsewhere",
         [&](const std::string& at) { ::symlink(outside.file("fifo").c_str(), at.c_str()); }},
        {"link to a device", [](const std::string& at) { ::symlink("/dev/full", at.c_str()); }},
        {"dangling link",
         [&](const std::string& at) { ::symlink(outside.file("none").c_str(), at.c_str()); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EarlierRun run;
        for (const char* name : {"table.txt", "polys.txt"}) {
            ::unlink(run.folder.file(name).c_str());
            c.plant(run.folder.file(name));
        }
        ASSERT_FALSE(TableRun(run.folder.path()));
        ::unlink(run.folder.file("filelist.txt").c_str());
        c.plant(run.folder.file("filelist.txt"));
        test::FakeListingHost lister(run.folder.path());
        ASSERT_FALSE(ListTheFiles(lister));

        EXPECT_EQ(outside.read("notes.doc"), "precious");
        EXPECT_FALSE(outside.exists("none"));
        for (const char* name : {"table.txt", "polys.txt", "filelist.txt"}) {
            struct stat info {};
            ASSERT_EQ(::lstat(run.folder.file(name).c_str(), &info), 0);
            EXPECT_TRUE(S_ISREG(info.st_mode)) << name;
        }
        EXPECT_EQ(run.folder.read("polys.txt"), "End\r\n");
        EXPECT_TRUE(run.folder.read("table.txt").starts_with(" 1 \t"));
        // A planted FIFO is no entry to list; a planted link is.
        const std::string list = run.folder.read("filelist.txt");
        EXPECT_TRUE(list.starts_with("a.met\r\nb.met\r\n"));
        EXPECT_TRUE(list.ends_with("polys.txt\r\ntable.txt\r\n"));
    }
}

TEST(OutputsReplacedWhole, FailuresLeaveTheEarlierFilesAsTheyWere) {
    struct Case {
        const char* name;
        int code;
        // Runs the table run in the prepared folder, as its own process where it must
        // change what the process may do; returns kSkip when this machine cannot.
        std::function<int(EarlierRun&, std::optional<Error>&)> run;
    };
    // Each failure says what the user can do about it.
    const auto expectCode = [](int code, const std::optional<Error>& error) {
        return error && error->code == code && !error->hint.empty() ? 0 : 1;
    };
    const Case cases[] = {
        {"a folder at an output's name", EISDIR,
         [](EarlierRun& r, std::optional<Error>& error) {
             ::unlink(r.folder.file("polys.txt").c_str());
             ::mkdir(r.folder.file("polys.txt").c_str(), 0755);
             error = TableRun(r.folder.path());
             ::rmdir(r.folder.file("polys.txt").c_str());
             r.folder.write("polys.txt", "yesterday's polygons\r\nEnd\r\n");
             return 0;
         }},
        {"a read-only folder", EACCES,
         [&](EarlierRun& r, std::optional<Error>&) {
             ::chmod(r.folder.path().c_str(), 0555);
             const int status = InChild([&] {
                 // Root may write anywhere: become an ordinary user first.
                 if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
                     return kSkip;
                 return expectCode(EACCES, TableRun(r.folder.path()));
             });
             ::chmod(r.folder.path().c_str(), 0700);
             return status;
         }},
        {"a table the user may not write, in a folder anyone may", EACCES,
         [&](EarlierRun& r, std::optional<Error>&) {
             ::chmod(r.folder.path().c_str(), 0777);
             ::chmod(r.folder.file("table.txt").c_str(), 0444);
             const int status = InChild([&] {
                 if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
                     return kSkip;
                 return expectCode(EACCES, TableRun(r.folder.path()));
             });
             ::chmod(r.folder.path().c_str(), 0700);
             ::chmod(r.folder.file("table.txt").c_str(), 0644);
             return status;
         }},
        {"a file size limit", EFBIG,
         [&](EarlierRun& r, std::optional<Error>&) {
             r.folder.write("a.met", test::SceneText(std::string(6000, 't'), "d", "1", "2"));
             r.folder.write("filelist.txt", std::string(1000, 'x') + "a.met\r\na.met\r\n");
             const int status = InChild([&] {
                 ::signal(SIGXFSZ, SIG_IGN);
                 const rlimit limit{4096, 4096};
                 ::setrlimit(RLIMIT_FSIZE, &limit);
                 return expectCode(EFBIG, TableRun(r.folder.path()));
             });
             r.folder.write("a.met", test::ExampleScene());
             r.folder.write("filelist.txt", "a.met\r\nb.met\r\n");
             return status;
         }},
        {"a full file system", ENOSPC,
         [&](EarlierRun& r, std::optional<Error>&) {
             return InChild([&] {
                 // A small file system of its own, mounted over the folder in a private
                 // namespace; the earlier files are written into it first.
                 if (!test::OwnMountNamespace())
                     return kSkip;
                 if (::mount("tmpfs", r.folder.path().c_str(), "tmpfs", 0, "size=256k") != 0)
                     return kSkip;
                 EarlierRun inside;
                 for (const char* name :
                      {"a.met", "b.met", "filelist.txt", "table.txt", "polys.txt"}) {
                     std::filesystem::copy_file(inside.folder.file(name), r.folder.file(name));
                 }
                 r.folder.write("a.met", test::SceneText(std::string(60000, 't'), "d", "", ""));
                 r.folder.write("filelist.txt", "a.met\r\na.met\r\na.met\r\na.met\r\n");
                 const Names before = EntriesOf(r.folder);
                 if (expectCode(ENOSPC, TableRun(r.folder.path())) != 0)
                     return 1;
                 EXPECT_EQ(r.folder.read("table.txt"), "yesterday's table\r\n");
                 EXPECT_EQ(EntriesOf(r.folder), before);
                 return ::testing::Test::HasFailure() ? 1 : 0;
             });
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EarlierRun run;
        const Names before = EntriesOf(run.folder);
        std::optional<Error> error = Error{c.code, {}, {}};
        const int status = c.run(run, error);
        if (status == kSkip) {
            std::cout << "[ SKIPPED  ] " << c.name << ": not possible on this machine\n";
            continue;
        }
        EXPECT_EQ(status, 0);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code, c.code);
        run.expectUnchanged(before);
    }
}

TEST(OutputsReplacedWhole, RunsAndListingsOnOneFolderNeverMixTheirBytes) {
    const auto polysOnly = [](const std::string& folder) {
        FakeCatalogueHost host(folder);
        host.polys = true;
        return MakeTextFiles(host);
    };
    {
        SCOPED_TRACE("a second run while the first waits at a blank-check message");
        EarlierRun run;
        FakeCatalogueHost first(run.folder.path());
        first.spread = true;
        first.blanks = true;
        std::optional<Error> secondResult;
        int messages = 0;
        struct Host : FakeCatalogueHost {
            using FakeCatalogueHost::FakeCatalogueHost;
            std::function<void()> onMessage;
            void showMessage(const std::string& prompt) override {
                FakeCatalogueHost::showMessage(prompt);
                onMessage();
            }
        } host(run.folder.path());
        host.spread = true;
        host.blanks = true;
        host.onMessage = [&] {
            ++messages;
            secondResult = polysOnly(run.folder.path());
            EXPECT_FALSE(secondResult);
            // Mid-run the second run's files are whole: its polygons and an empty table.
            EXPECT_TRUE(run.folder.read("polys.txt").starts_with(" 1 ,-118.1,34.1\r\n"));
            EXPECT_EQ(run.folder.read("table.txt"), "");
        };
        ASSERT_FALSE(MakeTextFiles(host));
        EXPECT_EQ(messages, 1);
        // The first run ended last: both files are its own.
        EXPECT_TRUE(run.folder.read("table.txt").starts_with(" 1 \t"));
        EXPECT_EQ(run.folder.read("polys.txt"), "End\r\n");
    }
    {
        SCOPED_TRACE("a listing while a run waits at a message");
        EarlierRun run;
        run.folder.write("filelist.txt", "b.met\r\na.met\r\na.met\r\n");
        struct Host : FakeCatalogueHost {
            using FakeCatalogueHost::FakeCatalogueHost;
            void showMessage(const std::string& prompt) override {
                FakeCatalogueHost::showMessage(prompt);
                test::FakeListingHost lister(folderPath());
                EXPECT_FALSE(ListTheFiles(lister));
            }
        } host(run.folder.path());
        host.spread = true;
        host.blanks = true;
        ASSERT_FALSE(MakeTextFiles(host));
        // The run read the whole list it started with.
        const std::string table = run.folder.read("table.txt");
        EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 3);
        EXPECT_EQ(run.folder.read("filelist.txt"),
                  "a.met\r\nb.met\r\nfilelist.txt\r\npolys.txt\r\ntable.txt\r\n");
    }
}

TEST(OutputsReplacedWhole, AKilledRunLeavesTheEarlierFiles) {
    EarlierRun run;
    run.folder.write("filelist.txt", "a.met\r\nb.met\r\na.met\r\nb.met\r\n");
    const Names before = EntriesOf(run.folder);
    const int status = InChild([&] {
        struct Host : FakeCatalogueHost {
            using FakeCatalogueHost::FakeCatalogueHost;
            void showMessage(const std::string&) override { ::raise(SIGKILL); }
        } host(run.folder.path());
        host.spread = true;
        host.blanks = true;
        MakeTextFiles(host);
        return 0;
    });
    EXPECT_EQ(status, 128 + SIGKILL);
    EXPECT_EQ(run.folder.read("table.txt"), "yesterday's table\r\n");
    EXPECT_EQ(run.folder.read("polys.txt"), "yesterday's polygons\r\nEnd\r\n");
    EXPECT_EQ(EntriesOf(run.folder), before);
}

TEST(OutputsReplacedWhole, AListLineOfHundredsOfMegabytesIsAnErrorInFlatMemory) {
    EarlierRun run;
    run.folder.write("filelist.txt", "b.met\r\n");
    ASSERT_EQ(::truncate(run.folder.file("filelist.txt").c_str(), 200 << 20), 0);
    const Names before = EntriesOf(run.folder);
    const test::PeakMemory memory;
    FakeCatalogueHost host(run.folder.path());
    host.spread = true;
    host.blanks = true;
    const auto error = MakeTextFiles(host);
    const std::optional<long> added = memory.addedKiB();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, ENAMETOOLONG);
    EXPECT_EQ(error->description,
              "Line 2 of " + run.folder.file("filelist.txt") + " is longer than 65536 bytes");
    EXPECT_EQ(host.messages.size(), 1u); // the blank b.met in line 1 was done first
    EXPECT_EQ(run.folder.read("table.txt"), "yesterday's table\r\n");
    EXPECT_EQ(EntriesOf(run.folder), before);
    if (added) {
        EXPECT_LT(*added, 16 * 1024) << "KiB of peak memory added";
    }
}

TEST(OutputsReplacedWhole, MissingListSaysWhetherTheFolderIsGone) {
    TempFolder folder;
    ::mkdir(folder.file("gone").c_str(), 0755);
    FakeCatalogueHost listless(folder.path());
    const auto missingList = MakeTextFiles(listless);
    ASSERT_TRUE(missingList);
    EXPECT_EQ(missingList->kind, ErrorKind::ListMissing);
    FakeCatalogueHost gone(folder.file("gone"));
    ::rmdir(folder.file("gone").c_str());
    const auto missingFolder = MakeTextFiles(gone);
    ASSERT_TRUE(missingFolder);
    EXPECT_EQ(missingFolder->kind, ErrorKind::FolderGone);
}

// Writes of every size, small ones through the buffer and large ones past it, while the
// file is synced behind them on another thread: the file holds every byte in order, and a
// published replacement of several syncs' worth reads back whole.
TEST(OutputsReplacedWhole, AFileSyncedAsItIsWrittenHoldsEveryByteInOrder) {
    TempFolder folder;
    std::string expected;
    std::uint32_t state = 7;
    for (int i = 0; expected.size() < (3u << 20); ++i) {
        state = state * 1103515245 + 12345;
        const std::size_t size = i % 7 == 0 ? 40000 + state % 100000 : state % 300;
        expected.append(size, static_cast<char>('a' + i % 26));
    }
    const auto writeAll = [&expected](std::ostream& out) {
        for (std::size_t at = 0, n = 1; at < expected.size(); at += n, n = n * 3 % 70001 + 1)
            out.write(expected.data() + at, static_cast<std::streamsize>(std::min(n, expected.size() - at)));
        out.flush();
    };
    {
        const UniqueFd fd(::open(folder.file("plain").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
        ASSERT_TRUE(fd);
        FdStreamBuf buffer(fd.get(), 4096, 64 * 1024);
        std::ostream out(&buffer);
        writeAll(out);
        EXPECT_TRUE(out.good());
    }
    EXPECT_EQ(folder.read("plain"), expected);
    folder.write("published", "earlier");
    ReplacementFile file;
    ASSERT_FALSE(file.create(folder.path() + "/", "published"));
    writeAll(file.stream());
    ASSERT_FALSE(PublishTogether({&file}));
    EXPECT_EQ(folder.read("published"), expected);
}

TEST(OutputsReplacedWhole, MovingSeveralFilesIsAllOrNothing) {
    TempFolder folder;
    folder.write("a", "old a");
    folder.write("b", "old b");
    folder.write(".new-a", "new a");
    // The second move fails (its scratch file is missing): the first is undone.
    const auto error = MoveIntoPlace(
        {{folder.file(".new-a"), folder.file("a")}, {folder.file(".new-b"), folder.file("b")}});
    ASSERT_TRUE(error);
    EXPECT_EQ(folder.read("a"), "old a");
    EXPECT_EQ(folder.read(".new-a"), "new a");
    folder.write(".new-b", "new b");
    folder.write(".new-c", "new c");
    ASSERT_FALSE(MoveIntoPlace({{folder.file(".new-a"), folder.file("a")},
                                {folder.file(".new-b"), folder.file("b")},
                                {folder.file(".new-c"), folder.file("c")}}));
    EXPECT_EQ(EntriesOf(folder), (Names{"a", "b", "c"}));
    EXPECT_EQ(folder.read("a") + folder.read("b") + folder.read("c"), "new anew bnew c");
}

// A new catalogue folder takes its name only where nothing stands, with rename's flags or,
// as on NFS, SMB and FUSE, without them.
TEST(OutputsReplacedWhole, ANewFolderTakesOnlyAFreeName) {
    using Rename = int (*)(int, const char*, const char*);
    struct Case {
        const char* what;
        std::function<void(const TempFolder&)> putAtTheName;
        int error;
    };
    const Case cases[] = {
        {"nothing", [](const TempFolder&) {}, 0},
        {"an empty folder",
         [](const TempFolder& f) { ASSERT_EQ(::mkdir(f.file("cat").c_str(), 0755), 0); }, EEXIST},
        {"a file", [](const TempFolder& f) { f.write("cat", "mine"); }, EEXIST},
        {"a link to nowhere",
         [](const TempFolder& f) { ASSERT_EQ(::symlink("gone", f.file("cat").c_str()), 0); },
         EEXIST},
    };
    for (const Rename rename : {&RenameFolderToNewName, &RenameFolderToNewNameWithoutFlags}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.what);
            TempFolder folder;
            ASSERT_EQ(::mkdir(folder.file(".aster-abcdef").c_str(), 0700), 0);
            folder.write(".aster-abcdef/item.json", "{}");
            c.putAtTheName(folder);
            const UniqueFd dir(::open(folder.path().c_str(), O_RDONLY | O_DIRECTORY));
            EXPECT_EQ(rename(dir.get(), ".aster-abcdef", "cat"), c.error);
            if (c.error == 0) {
                EXPECT_EQ(folder.read("cat/item.json"), "{}");
                EXPECT_FALSE(std::filesystem::exists(folder.file(".aster-abcdef")));
            } else {
                // Both stand as they were.
                EXPECT_EQ(folder.read(".aster-abcdef/item.json"), "{}");
                EXPECT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(folder.file("cat"))));
            }
        }
    }
}

// A catalogue replaces only a folder: a file or a link put at its name while the run
// worked stays where it is, and a folder that went away meanwhile leaves a free name.
TEST(OutputsReplacedWhole, AFolderReplacesOnlyAFolder) {
    struct Case {
        const char* what;
        std::function<void(const TempFolder&)> putAtTheName;
        bool moved;
    };
    const Case cases[] = {
        {"an earlier catalogue",
         [](const TempFolder& f) { ASSERT_EQ(::mkdir(f.file("cat").c_str(), 0755), 0); }, true},
        {"nothing: the earlier one went away", [](const TempFolder&) {}, true},
        {"a file", [](const TempFolder& f) { f.write("cat", "mine"); }, false},
        {"a link to a folder",
         [](const TempFolder& f) { ASSERT_EQ(::symlink(".", f.file("cat").c_str()), 0); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempFolder folder;
        {
            ScratchFolder scratch;
            ASSERT_FALSE(scratch.create(folder.path(), folder.file("cat")));
            ASSERT_EQ(WriteNewFileAt(scratch.fd(), "item.json", "{}"), 0);
            c.putAtTheName(folder);
            const auto error = scratch.moveTo("cat", true, folder.file("cat"));
            EXPECT_EQ(!error, c.moved) << (error ? error->description : "");
        }
        std::set<std::string> left;
        for (const auto& entry : std::filesystem::directory_iterator(folder.path()))
            left.insert(entry.path().filename().string());
        EXPECT_EQ(left, (std::set<std::string>{"cat"})) << "nothing else is left";
        if (c.moved)
            EXPECT_EQ(folder.read("cat/item.json"), "{}");
        else if (std::filesystem::is_symlink(folder.file("cat")))
            EXPECT_EQ(std::filesystem::read_symlink(folder.file("cat")), ".");
        else
            EXPECT_EQ(folder.read("cat"), "mine");
    }
}

TEST(OutputsReplacedWhole, TheListingRemovesStaleScratchFilesOnly) {
    TempFolder folder;
    ReplacementFile live;
    ASSERT_FALSE(live.create(folder.path() + "/", "table.txt"));
    ASSERT_FALSE(PublishTogether({&live})); // leaves no name behind
    const UniqueFd dir(::open(folder.path().c_str(), O_RDONLY | O_DIRECTORY));
    // A run on a file system without unnamed files, still writing: it holds the lock.
    folder.write(".aster-filelist.txt-0000000000000003", "being written");
    const UniqueFd writing(
        ::open(folder.file(".aster-filelist.txt-0000000000000003").c_str(), O_RDONLY));
    ASSERT_EQ(::flock(writing.get(), LOCK_EX), 0);
    folder.write(".aster-polys.txt-0000000000000001", "left by a killed run");
    folder.write(".aster-table.txt-0000000000000002", "just begun");
    folder.write(".aster-notes", "a user's file");
    folder.write(".aster-table.txt-00000000000000zz", "not ours either");
    const timespec old[2] = {{0, UTIME_OMIT}, {std::time(nullptr) - 3600, 0}};
    for (const char* name :
         {".aster-polys.txt-0000000000000001", ".aster-notes", ".aster-table.txt-00000000000000zz",
          ".aster-filelist.txt-0000000000000003"})
        ::utimensat(dir.get(), name, old, 0);
    test::FakeListingHost lister(folder.path());
    ASSERT_FALSE(ListTheFiles(lister));
    EXPECT_EQ(EntriesOf(folder),
              (Names{".aster-filelist.txt-0000000000000003", ".aster-notes",
                     ".aster-table.txt-00000000000000zz", ".aster-table.txt-0000000000000002",
                     "filelist.txt", "table.txt"}));
}

} // namespace
} // namespace aster
