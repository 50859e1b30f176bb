// Times the footprint layer, written as a GeoPackage, against the polygon text run on a
// corpus the driver made, and prints one line of figures for scripts/bench.sh. A program
// of its own: loading GDAL's libraries alone makes a process some 50 MiB larger, which
// would swamp the driver's memory figures.
#include "build_run.h"
#include "folder.h"
#include "footprint_layer.h"
#include "timing.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>

namespace {

class PolygonHost : public aster::CatalogueHost {
  public:
    explicit PolygonHost(std::string folder) : m_folder(std::move(folder)) {}
    std::string folderPath() override { return m_folder; }
    bool blanksSelected() override { return false; }
    bool polysSelected() override { return true; }
    bool spreadSelected() override { return false; }
    void showMessage(const std::string&) override {}

  private:
    std::string m_folder;
};

void Check(const std::optional<aster::Error>& error) {
    if (error) {
        std::fprintf(stderr, "%s\n", aster::FormatError(*error).c_str());
        std::exit(1);
    }
}

} // namespace

int main(int argc, char** argv) {
    std::string folder;
    int runs = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--dir")
            folder = argv[i + 1];
        else if (flag == "--runs")
            runs = std::stoi(argv[i + 1]);
    }
    if (folder.empty()) {
        std::fprintf(stderr, "usage: %s --dir CORPUS_FOLDER [--runs 5]\n", argv[0]);
        return 2;
    }
    PolygonHost polys(folder);
    const double polysTime =
        aster::bench::Median(runs, [&] { Check(aster::MakeTextFiles(polys)); });

    // Beside the corpus, so that neither the layer nor its scratch folder is in it.
    aster::FootprintOptions options;
    options.outputPath = folder + ".gpkg";
    options.overwrite = true;
    aster::FootprintReport report;
    aster::FootprintProgress quiet;
    const double layerTime = aster::bench::Median(runs, [&] {
        Check(aster::WriteFootprints(aster::FolderPrefix(folder), options, report, quiet));
    });
    std::remove(options.outputPath.c_str());

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("layer_polys_ms=%.2f gpkg_ms=%.2f features=%lld layer_rss_kb=%ld\n",
                polysTime * 1e3, layerTime * 1e3, static_cast<long long>(report.written),
                usage.ru_maxrss);
    return 0;
}
