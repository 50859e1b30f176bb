#include "catalogue/build_run.h"

#include "catalogue/catalogue_output.h"
#include "catalogue/scene_reader.h"
#include "fileio/folder.h"
#include "fileio/long_path.h"
#include "fileio/replacement_file.h"
#include "readahead/list_reader.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <new>
#include <sys/stat.h>
#include <vector>

namespace aster {


namespace {

constexpr std::array<std::string_view, 2> kOutputNames{"table.txt", "polys.txt"};

// Each listed file's record, made on the thread that read it. A scene file's record is
// most often settled by its first page: the rest is read only where it may change the
// record, or the file is no larger than that. Where the page settled it, the rule found
// the record already, and the worker keeps it for the preparation that follows.
class RecordsRead {
  public:
    explicit RecordsRead(std::size_t workers) : m_settled(workers) {}
    RecordsRead(const RecordsRead&) = delete;
    RecordsRead& operator=(const RecordsRead&) = delete;

    HeadFirst headFirst() {
        return HeadFirst{
            kHeadBytes, std::numeric_limits<std::size_t>::max(),
            [this](std::string_view head, std::size_t worker) { return wholeFile(head, worker); },
            kHeadBytes};
    }

    SceneRecord prepare(const ListedScene& scene, std::size_t worker) {
        SceneRecord record;
        Settled& settled = m_settled[worker];
        if (scene.extent == TextExtent::Head && scene.text.data() == settled.head &&
            scene.text.size() == kHeadBytes)
            record = settled.record;
        else
            ExtractRecord(scene.text, record);
        // Used once: a buffer is read into again, and a file prepared once more elsewhere
        // (after a failure) is searched anew.
        settled.head = nullptr;
        record.SceneNumber = scene.number;
        record.FullPath = scene.fullPath;
        return record;
    }

  private:
    static constexpr std::size_t kHeadBytes = 4096;
    // One worker's last settled head; a line of its own, as each is another thread's.
    struct alignas(64) Settled {
        const char* head = nullptr;
        SceneRecord record;
    };

    bool wholeFile(std::string_view head, std::size_t worker) {
        Settled& settled = m_settled[worker];
        settled.head = nullptr;
        settled.record = SceneRecord{};
        const bool whole = !SettleRecord(head, settled.record);
        settled.head = whole ? nullptr : head.data();
        return whole;
    }

    std::vector<Settled> m_settled;
};

// The files the run replaces, which a list may name too: read as empty, as if emptied at
// the start, not as what the last run wrote into them. Only the file that stands at an
// output's name counts, named through the folder itself (a link there is replaced, not
// what it points to; another name of the same file keeps its text after the run).
std::array<FileIdentity, 2> OutputsReplaced(const std::string& prefix) {
    std::array<FileIdentity, 2> outputs;
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        struct stat info {};
        const std::string path = prefix + std::string(kOutputNames[i]);
        if (StatAtAnyLength(AT_FDCWD, path.c_str(), info, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(info.st_mode))
            outputs[i] = IdentityOf(info);
    }
    return outputs;
}

bool NamesAnOutput(const ListedScene& scene, const std::array<FileIdentity, 2>& replaced,
                   const FileIdentity& folder) {
    if (scene.identity == FileIdentity{} ||
        std::find(replaced.begin(), replaced.end(), scene.identity) == replaced.end())
        return false;
    const std::string_view name = FileNameOf(scene.fullPath);
    if (std::find(kOutputNames.begin(), kOutputNames.end(), name) == kOutputNames.end())
        return false;
    const std::string parent(scene.fullPath.substr(0, scene.fullPath.size() - name.size()));
    struct stat info {};
    return StatAtAnyLength(AT_FDCWD, parent.empty() ? "." : parent.c_str(), info, 0) == 0 &&
           IdentityOf(info) == folder;
}

std::optional<Error> Run(CatalogueHost& host, const ReadAheadSettings& settings,
                         const std::string& prefix) {
    // The list is opened first, so a missing list leaves earlier output files untouched.
    RecordsRead records(settings.workers());
    PreparedScenes<SceneRecord> scenes(
        settings,
        [&records](const ListedScene& scene, std::size_t worker) {
            return records.prepare(scene, worker);
        },
        records.headFirst());
    if (auto error = scenes.open(prefix)) {
        ExplainMissingList(*error, prefix);
        return error;
    }
    // Both outputs are written aside and replace the earlier files together at the end,
    // so an error or a stop leaves the earlier files exactly as they were.
    ReplacementFile table;
    if (auto error = table.create(prefix, "table.txt"))
        return error;
    ReplacementFile polys;
    if (auto error = polys.create(prefix, "polys.txt"))
        return error;
    const std::array<FileIdentity, 2> replaced = OutputsReplaced(prefix);
    struct stat folderInfo {};
    const FileIdentity folder = StatAtAnyLength(AT_FDCWD, prefix.c_str(), folderInfo, 0) == 0
                                    ? IdentityOf(folderInfo)
                                    : FileIdentity{};

    ListedScene scene;
    SceneRecord record;
    std::int64_t done = 0;
    while (scenes.next(scene, record)) {
        done = scene.number;
        if (NamesAnOutput(scene, replaced, folder)) {
            scene.text = {};
            record = SceneRecord{};
            record.SceneNumber = scene.number;
            record.FullPath = scene.fullPath;
        }
        if (host.blanksSelected() && !scene.text.starts_with("GROUP"))
            host.showMessage(std::string(scene.fullPath));

        if (host.polysSelected()) {
            AppendPolygonBlock(polys.stream(), record);
            if (auto error = polys.check())
                return error;
        } else if (host.spreadSelected()) {
            AppendTableRow(table.stream(), record);
            if (auto error = table.check())
                return error;
        } else {
            // Only the first file can find no style chosen, since no control clears one: the
            // run makes nothing, and the earlier files, which nobody asked to replace, stay.
            host.showMessage(kNoStyleMessage);
            if (host.cancelRequested())
                return StoppedAfter(scene.number, scenes.total());
            return std::nullopt;
        }
        host.progress(scene.number, scenes.total());
        if (host.cancelRequested())
            return StoppedAfter(scene.number, scenes.total());
    }
    if (scenes.error())
        return scenes.error();

    AppendClosingLine(polys.stream());
    // A stop asked for while the last file or a message was pending still changes nothing.
    if (host.cancelRequested())
        return StoppedAfter(done, scenes.total());
    return PublishTogether({&table, &polys});
}

} // namespace

std::optional<Error> MakeTextFiles(CatalogueHost& host, const ReadAheadSettings& settings) {
    const std::string prefix = FolderPrefix(host.folderPath());
    try {
        return Run(host, settings, prefix);
    } catch (const std::bad_alloc&) {
        return Error{ENOMEM, "Not enough memory to catalogue " + prefix,
                     "Close other programs, or split the list into several folders.",
                     ErrorKind::NoMemory};
    }
}

} // namespace aster
