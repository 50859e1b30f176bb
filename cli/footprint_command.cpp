#include "cli/footprint_command.h"

#include "fileio/folder.h"
#include "footprints/footprint_layer.h"

namespace aster {

namespace {

class ProgressToHost final : public FootprintProgress {
  public:
    explicit ProgressToHost(FootprintHost& host) : m_host(host) {}
    void progress(std::int64_t done, std::int64_t total) override { m_host.progress(done, total); }
    bool cancelRequested() override { return m_host.cancelRequested(); }

  private:
    FootprintHost& m_host;
};

} // namespace

std::optional<Error> FootprintCommand(const FootprintRequest& request, FootprintHost& host,
                                      FootprintSummary& summary) {
    FootprintOptions options;
    options.outputPath = request.outputPath;
    options.driverName = request.driver;
    options.overwrite = request.overwrite;
    options.spatialIndex = request.spatialIndex;
    FootprintReport report;
    ProgressToHost progress(host);
    std::optional<Error> error =
        WriteFootprints(FolderPrefix(request.folder), options, report, progress);
    if (error)
        return error;
    for (const SkippedScene& skipped : report.skipped)
        host.skipped(skipped.fullPath, skipped.reason);
    summary.written = report.written;
    summary.skipped = report.skippedCount();
    return std::nullopt;
}

} // namespace aster
