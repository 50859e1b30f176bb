// Times the real listing and build run against the floors on a synthetic corpus and
// prints one line of figures for scripts/bench.sh.
#include "build_run.h"
#include "corpus.h"
#include "folder_listing.h"
#include "timing.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace {

using aster::bench::Median;

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

void Spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        std::perror(argv[0]);
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed\n", argv[0]);
        std::exit(1);
    }
}

void Check(const std::optional<aster::Error>& error) {
    if (error) {
        std::fprintf(stderr, "%s\n", aster::FormatError(*error).c_str());
        std::exit(1);
    }
}

} // namespace

int main(int argc, char** argv) {
    std::string folder, floorProgram;
    std::size_t files = 0, bigBytes = 0;
    int runs = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        const std::string value = argv[i + 1];
        if (flag == "--dir")
            folder = value;
        else if (flag == "--floor")
            floorProgram = value;
        else if (flag == "--files")
            files = std::stoul(value);
        else if (flag == "--big")
            bigBytes = std::stoul(value);
        else if (flag == "--runs")
            runs = std::stoi(value);
    }
    if (folder.empty() || floorProgram.empty() || (files == 0) == (bigBytes == 0)) {
        std::fprintf(stderr,
                     "usage: %s --dir EMPTY_FOLDER --floor PROGRAM "
                     "(--files N | --big BYTES) [--runs 5]\n",
                     argv[0]);
        return 2;
    }

    if (files != 0)
        aster::bench::WriteCorpus(folder, files);
    else
        aster::bench::WriteBigScene(folder, bigBytes);
    BenchHost polys(folder, true, false);
    BenchHost table(folder, false, true);
    const double floorTime = Median(runs, [&] { Spawn({floorProgram, folder}); });
    const double polysTime = Median(runs, [&] { Check(aster::MakeTextFiles(polys)); });
    const double tableTime = Median(runs, [&] { Check(aster::MakeTextFiles(table)); });

    double listTime = 0, lsTime = 0;
    if (files != 0) {
        const std::string lsOut = folder + ".ls";
        lsTime = Median(runs, [&] {
            Spawn({"/bin/sh", "-c", "ls -f \"$0\" > \"$1\"", folder, lsOut});
        });
        // The listing rewrites filelist.txt; the generated one is put back afterwards.
        const std::string listPath = folder + "/filelist.txt";
        const std::string savedList = folder + ".list";
        Spawn({"/bin/cp", listPath, savedList});
        listTime = Median(runs, [&] { Check(aster::ListTheFiles(polys)); });
        std::rename(savedList.c_str(), listPath.c_str());
        std::remove(lsOut.c_str());
    }

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const std::size_t listed = files != 0 ? files : 1;
    std::printf("files=%zu floor_ms=%.2f polys_ms=%.2f table_ms=%.2f list_ms=%.2f ls_ms=%.2f "
                "rss_kb=%ld blanks=%zu\n",
                listed, floorTime * 1e3, polysTime * 1e3, tableTime * 1e3, listTime * 1e3,
                lsTime * 1e3, usage.ru_maxrss, table.messages / static_cast<std::size_t>(runs + 1));
    return 0;
}
