// Times the real listing and build run against the floors on a synthetic corpus and
// prints lines of figures for scripts/bench.sh; with --tree, the recursive listing of a
// tree of folders against find; with --hdf, footprints over HDF-EOS files against the
// same scenes as ODL files, and what the command reads. With --once it instead makes one run over
// an existing corpus and reports its own peak memory, so that every memory figure comes
// from a process that did nothing else.
#include "bench/corpus.h"
#include "bench/hdf_corpus.h"
#include "catalogue/build_run.h"
#include "fileio/unique_fd.h"
#include "listing/folder_listing.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <filesystem>
#include <map>
#include <optional>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

class BenchHost : public aster::CatalogueHost, public aster::ListingHost {
  public:
    BenchHost(std::string folder, bool polys, bool blanks)
        : m_folder(std::move(folder)), m_polys(polys), m_blanks(blanks) {}
    std::string folderPath() override { return m_folder; }
    bool blanksSelected() override { return m_blanks; }
    bool polysSelected() override { return m_polys; }
    bool spreadSelected() override { return !m_polys; }
    void showMessage(const std::string&) override { ++messages; }
    std::size_t messages = 0;

  private:
    std::string m_folder;
    bool m_polys;
    bool m_blanks;
};

// The recursive listing of a tree, written outside it as `aster list --recursive -o`.
class TreeListingHost final : public aster::ListingHost {
  public:
    TreeListingHost(std::string folder, std::string list)
        : m_folder(std::move(folder)), m_list(std::move(list)) {}
    std::string folderPath() override { return m_folder; }
    bool recursive() override { return true; }
    std::string listPath() override { return m_list; }

  private:
    std::string m_folder;
    std::string m_list;
};

[[noreturn]] void Fail(const std::string& message) {
    std::fprintf(stderr, "aster_bench_driver: %s\n", message.c_str());
    std::exit(1);
}

double Seconds(const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double Median(std::vector<double> times) {
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// Median of `runs` timings after one warm-up, so with a warm page cache.
double WarmMedian(int runs, const std::function<void()>& work) {
    work();
    std::vector<double> times;
    for (int i = 0; i < runs; ++i)
        times.push_back(Seconds(work));
    return Median(std::move(times));
}

// Writes dirty pages back first, since only clean pages can be dropped.
void DropPageCache() {
    ::sync();
    const aster::UniqueFd fd(::open("/proc/sys/vm/drop_caches", O_WRONLY | O_CLOEXEC));
    if (!fd || ::write(fd.get(), "3\n", 2) != 2)
        Fail(std::string("cannot drop the page cache: ") + std::strerror(errno));
}

// Runs a program to its end and fails unless it exits with 0. Returns what it wrote to
// standard output when `capture` is set; otherwise that goes to /dev/null.
std::string Spawn(const std::vector<std::string>& args, bool capture = false) {
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    int ends[2] = {-1, -1};
    if (capture && ::pipe2(ends, O_CLOEXEC) != 0)
        Fail(std::string("pipe: ") + std::strerror(errno));
    aster::UniqueFd readEnd(ends[0]);
    aster::UniqueFd writeEnd(ends[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (capture)
        posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), 1);
    else
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        Fail(args[0] + ": " + std::strerror(spawned));
    writeEnd.reset();
    std::string output;
    if (capture) {
        char chunk[4096];
        ssize_t got = 0;
        while ((got = ::read(readEnd.get(), chunk, sizeof chunk)) > 0 ||
               (got < 0 && errno == EINTR))
            if (got > 0)
                output.append(chunk, static_cast<std::size_t>(got));
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        Fail(args[0] + " failed");
    return output;
}

void Check(const std::optional<aster::Error>& error) {
    if (error)
        Fail(aster::FormatError(*error));
}

struct Options {
    std::string folder;
    std::string floorProgram;
    std::string parallelFloorProgram;
    std::size_t files = 0;
    std::size_t bigBytes = 0;
    int runs = 5;
    int coldRuns = 0; // 0: no cold-cache figures
    std::string footprints;
    std::string footprintsNoIndex; // the same layer without its spatial index
    std::string polysCommand;
    std::string once;        // "polys" or "table": one run, then its peak memory
    bool corpusOnly = false; // write the corpus and nothing else
    bool xml = false;        // a corpus of ECS granule XML: the floor and --footprints only
    bool tree = false;       // a tree of folders: the recursive listing against find only
    std::string listCommand; // with --tree: the recursive listing as a command
    std::string startCommand; // with --tree: the same program doing nothing (--version)
    bool hdf = false;          // HDF-EOS files against the same scenes as ODL: footprints only
    std::string asterProgram;  // with --hdf: the aster command line
    int hdfSide = 2048;        // with --hdf: the image's side, in bytes
    unsigned threads = aster::ReadAheadSettings{}.threads;
};

bool Parse(int argc, char** argv, Options& options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        const std::string value = argv[i + 1];
        if (flag == "--dir")
            options.folder = value;
        else if (flag == "--floor")
            options.floorProgram = value;
        else if (flag == "--parallel-floor")
            options.parallelFloorProgram = value;
        else if (flag == "--files")
            options.files = std::stoul(value);
        else if (flag == "--big")
            options.bigBytes = std::stoul(value);
        else if (flag == "--runs")
            options.runs = std::stoi(value);
        else if (flag == "--cold-runs")
            options.coldRuns = std::stoi(value);
        else if (flag == "--footprints")
            options.footprints = value;
        else if (flag == "--footprints-no-index")
            options.footprintsNoIndex = value;
        else if (flag == "--polys-command")
            options.polysCommand = value;
        else if (flag == "--once")
            options.once = value;
        else if (flag == "--corpus-only")
            options.corpusOnly = value == "1";
        else if (flag == "--xml")
            options.xml = value == "1";
        else if (flag == "--tree")
            options.tree = value == "1";
        else if (flag == "--list-command")
            options.listCommand = value;
        else if (flag == "--start-command")
            options.startCommand = value;
        else if (flag == "--hdf")
            options.hdf = value == "1";
        else if (flag == "--aster")
            options.asterProgram = value;
        else if (flag == "--hdf-side")
            options.hdfSide = std::stoi(value);
        else if (flag == "--threads")
            options.threads = static_cast<unsigned>(std::stoul(value));
        else
            return false;
    }
    if (argc % 2 != 1 || options.folder.empty() || options.runs < 1 || options.coldRuns < 0)
        return false;
    if (!options.once.empty())
        return options.once == "polys" || options.once == "table";
    if (options.tree)
        return options.files != 0 && !options.listCommand.empty();
    if (options.hdf)
        return options.files != 0 && !options.asterProgram.empty() && options.hdfSide > 0;
    if (options.corpusOnly || options.xml)
        return options.files != 0 && (options.corpusOnly || !options.floorProgram.empty());
    return !options.floorProgram.empty() && !options.parallelFloorProgram.empty() &&
           (options.files == 0) != (options.bigBytes == 0);
}

// Peak resident memory of this process's address space in KiB (VmHWM). Not ru_maxrss:
// Linux carries that over from the address space the process had before execve, which
// for a child of posix_spawn is the parent's, so it would report the driver's peak.
long OwnPeakMemory() {
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr)
        Fail(std::string("/proc/self/status: ") + std::strerror(errno));
    long kib = -1;
    char line[256];
    while (kib < 0 && std::fgets(line, sizeof line, status) != nullptr)
        if (std::sscanf(line, "VmHWM: %ld kB", &kib) != 1)
            kib = -1;
    std::fclose(status);
    if (kib < 0)
        Fail("no VmHWM in /proc/self/status");
    return kib;
}

// One run over the corpus already in the folder; prints its time and this process's peak
// resident memory.
int RunOnce(const Options& options) {
    BenchHost host(options.folder, options.once == "polys", options.once == "table");
    aster::ReadAheadSettings settings;
    settings.threads = options.threads;
    const double time = Seconds([&] { Check(aster::MakeTextFiles(host, settings)); });
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("rss_kb=%ld maxrss_kb=%ld ms=%.2f\n", OwnPeakMemory(), usage.ru_maxrss, time * 1e3);
    return 0;
}

// Peak resident memory in KiB of one run in a process of its own.
long PeakMemory(const std::string& folder, const std::string& style, unsigned threads) {
    const std::string output = Spawn(
        {"/proc/self/exe", "--once", style, "--dir", folder, "--threads", std::to_string(threads)},
        true);
    long kib = 0;
    if (std::sscanf(output.c_str(), "rss_kb=%ld", &kib) != 1)
        Fail("no memory figure from --once " + style);
    return kib;
}

// The footprint layer over a corpus of ECS granule XML against the sequential floor of
// reading the same files: the table's recipe reads no XML, so no other step is timed.
int MeasureXml(const Options& options) {
    const std::string& folder = options.folder;
    aster::bench::WriteXmlCorpus(folder, options.files);
    ::sync();
    const auto report = [&](const char* step, double seconds) {
        std::printf("time files=%zu xml=1 step=%s cache=warm ms=%.2f\n", options.files, step,
                    seconds * 1e3);
        std::fflush(stdout);
    };
    report("floor", WarmMedian(options.runs, [&] { Spawn({options.floorProgram, folder}); }));
    if (!options.footprints.empty())
        report("footprints", WarmMedian(options.runs, [&] {
                   Spawn({"/bin/sh", "-c", options.footprints + " \"$1\"", "footprints", folder});
               }));
    return 0;
}

// The recursive listing of a tree of folders against `find FOLDER -type f`, each a
// command writing its paths to a file outside the tree, so both pay for starting a
// program and for their output alike. The listing in this process and the listing
// program's start alone show where the command's time goes.
int MeasureTree(const Options& options) {
    constexpr std::size_t kFolders = 1000;
    const std::string& folder = options.folder;
    aster::bench::WriteTreeCorpus(folder, options.files, kFolders);
    ::sync();
    const auto report = [&](const char* step, double seconds) {
        std::printf("time files=%zu tree=1 folders=%zu step=%s cache=warm ms=%.2f\n",
                    options.files, kFolders, step, seconds * 1e3);
        std::fflush(stdout);
    };
    const std::string findOut = folder + ".find";
    report("find", WarmMedian(options.runs, [&] {
               Spawn({"/bin/sh", "-c", "find \"$0\" -type f > \"$1\"", folder, findOut});
           }));
    std::remove(findOut.c_str());
    report("list", WarmMedian(options.runs, [&] {
               Spawn({"/bin/sh", "-c", options.listCommand + " \"$1\"", "list", folder});
           }));
    const std::string listOut = folder + ".list";
    TreeListingHost host(folder, listOut);
    report("list_in_process", WarmMedian(options.runs, [&] { Check(aster::ListTheFiles(host)); }));
    std::remove(listOut.c_str());
    if (!options.startCommand.empty())
        report("start", WarmMedian(options.runs, [&] {
                   Spawn({"/bin/sh", "-c", options.startCommand});
               }));
    return 0;
}

// The rchar of /proc/PID/io, or nothing when there is none.
std::optional<unsigned long long> ReadCharsOf(const std::string& pid) {
    std::optional<unsigned long long> rchar;
    if (std::FILE* io = std::fopen(("/proc/" + pid + "/io").c_str(), "r")) {
        char line[128];
        unsigned long long value = 0;
        while (!rchar && std::fgets(line, sizeof line, io) != nullptr)
            if (std::sscanf(line, "rchar: %llu", &value) == 1)
                rchar = value;
        std::fclose(io);
    }
    return rchar;
}

// The bytes a program read through read(2) and its kind (rchar of /proc/PID/io), taken
// once it has exited but before it is reaped, so that nothing it did is left out. With
// `helpers`, the processes it starts (the HDF reader) count too: their rchar is sampled
// every millisecond while they live, so the last millisecond of each may be missed; the
// sampling takes a core's share, so such a run is not one that is timed. Fails unless it
// exits with 0. Its output goes to /dev/null.
unsigned long long ReadBytesOfRun(const std::vector<std::string>& args, bool helpers = false) {
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        Fail(args[0] + ": " + std::strerror(spawned));
    const std::string self = std::to_string(pid);
    std::map<std::string, unsigned long long> helperChars;
    for (;;) {
        siginfo_t info{};
        const int options = WEXITED | WNOWAIT | (helpers ? WNOHANG : 0);
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, options) < 0) {
            if (errno == EINTR)
                continue;
            Fail("waitid: " + std::string(std::strerror(errno)));
        }
        if (info.si_pid != 0)
            break;
        std::error_code error;
        for (const auto& task : std::filesystem::directory_iterator("/proc/" + self + "/task", error)) {
            std::ifstream children(task.path() / "children");
            for (std::string child; children >> child;)
                if (const std::optional<unsigned long long> rchar = ReadCharsOf(child))
                    helperChars[child] = std::max(helperChars[child], *rchar);
        }
        ::usleep(1000);
    }
    const std::optional<unsigned long long> rchar = ReadCharsOf(self);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        Fail(args[0] + " failed");
    if (!rchar)
        Fail("no rchar in /proc/" + self + "/io");
    unsigned long long total = *rchar;
    for (const auto& [child, chars] : helperChars)
        total += chars;
    return total;
}

// Apparent and allocated bytes of the files in a folder.
std::pair<unsigned long long, unsigned long long> FolderBytes(const std::string& folder) {
    unsigned long long apparent = 0;
    unsigned long long allocated = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        struct stat info{};
        if (::stat(entry.path().c_str(), &info) == 0) {
            apparent += static_cast<unsigned long long>(info.st_size);
            allocated += static_cast<unsigned long long>(info.st_blocks) * 512;
        }
    }
    return {apparent, allocated};
}

// `aster footprints` over HDF-EOS files against the same command over the same scenes
// as ODL files, both warm, and the bytes one run over the HDF files reads.
int MeasureHdf(const Options& options) {
    const std::string hdfFolder = options.folder + "/hdf";
    const std::string metFolder = options.folder + "/met";
    std::filesystem::create_directory(hdfFolder);
    std::filesystem::create_directory(metFolder);
    aster::bench::WriteHdfCorpus(hdfFolder, metFolder, options.files, options.hdfSide);
    ::sync();
    const auto [apparent, allocated] = FolderBytes(hdfFolder);
    const auto footprints = [&](const std::string& folder) {
        return std::vector<std::string>{options.asterProgram, "footprints", "--overwrite", "-o",
                                        options.folder + "/footprints.gpkg", folder};
    };
    unsigned long long rchar = 0;
    for (const auto& [step, folder] : {std::pair{"met", metFolder}, std::pair{"hdf", hdfFolder}}) {
        const double ms = WarmMedian(options.runs, [&] { ReadBytesOfRun(footprints(folder)); });
        std::printf("time files=%zu hdf=1 step=%s_footprints cache=warm ms=%.2f\n", options.files,
                    step, ms * 1e3);
        std::fflush(stdout);
    }
    // The HDF files are read by the reader the command starts: its bytes count too.
    rchar = ReadBytesOfRun(footprints(hdfFolder), true);
    std::printf("hdf_io files=%zu rchar=%llu apparent=%llu allocated=%llu\n", options.files,
                rchar, apparent, allocated);
    return 0;
}

int Measure(const Options& options) {
    const std::string& folder = options.folder;
    if (options.hdf)
        return MeasureHdf(options);
    if (options.xml)
        return MeasureXml(options);
    if (options.tree)
        return MeasureTree(options);
    if (options.files != 0)
        aster::bench::WriteCorpus(folder, options.files);
    else
        aster::bench::WriteBigScene(folder, options.bigBytes);
    // Writing the corpus back now keeps its writeback out of the timed runs.
    ::sync();
    const std::size_t listed = options.files != 0 ? options.files : 1;
    const char* const corpus = options.files != 0 ? "" : " big=1";
    const auto report = [&](const char* step, const char* cache, double seconds) {
        std::printf("time files=%zu%s step=%s cache=%s ms=%.2f\n", listed, corpus, step, cache,
                    seconds * 1e3);
        std::fflush(stdout);
    };

    BenchHost polys(folder, true, false);
    BenchHost table(folder, false, true);
    const aster::ReadAheadSettings readAhead;
    // Each step with the page cache warm, then, if asked, each from a dropped cache.
    const std::vector<std::pair<const char*, std::function<void()>>> steps = {
        {"floor",
         [&] {
             Spawn({options.floorProgram, folder});
         }},
        {"parallel_floor",
         [&] {
             Spawn({options.parallelFloorProgram, folder});
         }},
        {"polys", [&] { Check(aster::MakeTextFiles(polys, readAhead)); }},
        {"table", [&] { Check(aster::MakeTextFiles(table, readAhead)); }},
    };
    for (const auto& [name, work] : steps)
        report(name, "warm", WarmMedian(options.runs, work));

    if (options.files != 0) {
        const std::string lsOut = folder + ".ls";
        report("ls", "warm", WarmMedian(options.runs, [&] {
                   Spawn({"/bin/sh", "-c", "ls -f \"$0\" > \"$1\"", folder, lsOut});
               }));
        // The listing rewrites filelist.txt; the generated one is put back afterwards.
        const std::string listPath = folder + "/filelist.txt";
        const std::string savedList = folder + ".list";
        Spawn({"/bin/cp", listPath, savedList});
        report("list", "warm",
               WarmMedian(options.runs, [&] { Check(aster::ListTheFiles(polys)); }));
        if (std::rename(savedList.c_str(), listPath.c_str()) != 0)
            Fail("cannot put back " + listPath);
        std::remove(lsOut.c_str());
    }

    // The footprint writer, and the polygon run it is held to, each a command given the
    // corpus folder as its last argument, so both pay for starting a program alike.
    const auto timeCommand = [&](const char* step, const std::string& command) {
        if (!command.empty())
            report(step, "warm", WarmMedian(options.runs, [&] {
                       Spawn({"/bin/sh", "-c", command + " \"$1\"", step, folder});
                   }));
    };
    timeCommand("polys_command", options.polysCommand);
    timeCommand("footprints", options.footprints);
    timeCommand("footprints_no_index", options.footprintsNoIndex);

    for (const char* style : {"polys", "table"}) {
        const long withReadAhead = PeakMemory(folder, style, readAhead.threads);
        const long sequential = PeakMemory(folder, style, 0);
        std::printf("mem files=%zu%s step=%s readahead_kb=%ld sequential_kb=%ld\n", listed, corpus,
                    style, withReadAhead, sequential);
        std::fflush(stdout);
    }

    if (options.coldRuns > 0) {
        // Round by round rather than step by step, so that a drift in the disk's speed
        // touches every step alike.
        std::map<std::string, std::vector<double>> times;
        for (int round = 0; round < options.coldRuns; ++round)
            for (const auto& [name, work] : steps) {
                DropPageCache();
                times[name].push_back(Seconds(work));
            }
        for (const auto& [name, work] : steps)
            report(name, "cold", Median(times[name]));
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    bool valid = false;
    try {
        valid = Parse(argc, argv, options);
    } catch (const std::exception&) {
        valid = false;
    }
    if (!valid) {
        std::fprintf(stderr,
                     "usage: %s --dir EMPTY_FOLDER --floor PROGRAM --parallel-floor PROGRAM\n"
                     "          (--files N | --big BYTES) [--runs 5] [--cold-runs 0]\n"
                     "          [--footprints COMMAND] [--footprints-no-index COMMAND]\n"
                     "       %s --once polys|table --dir CORPUS [--threads 16]\n"
                     "       %s --corpus-only 1 [--xml 1] --dir EMPTY_FOLDER --files N\n"
                     "       %s --xml 1 --dir EMPTY_FOLDER --files N --floor PROGRAM\n"
                     "          [--runs 5] [--footprints COMMAND]\n"
                     "       %s --tree 1 --dir EMPTY_FOLDER --files N --list-command COMMAND\n"
                     "          [--start-command COMMAND] [--runs 5]\n"
                     "       %s --hdf 1 --dir EMPTY_FOLDER --files N --aster PROGRAM\n"
                     "          [--hdf-side 2048] [--runs 5]\n",
                     argv[0], argv[0], argv[0], argv[0], argv[0], argv[0]);
        return 2;
    }
    if (options.corpusOnly) {
        if (options.xml)
            aster::bench::WriteXmlCorpus(options.folder, options.files);
        else
            aster::bench::WriteCorpus(options.folder, options.files);
        return 0;
    }
    return options.once.empty() ? Measure(options) : RunOnce(options);
}
