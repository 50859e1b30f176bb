#include "build_run.h"

#include "catalogue_output.h"
#include "folder.h"
#include "list_reader.h"
#include "output_file.h"
#include "scene_reader.h"

#include <cerrno>
#include <limits>

namespace aster {

std::optional<std::int32_t> NextSceneNumber(std::int32_t current) {
    if (current == std::numeric_limits<std::int32_t>::max())
        return std::nullopt;
    return current + 1;
}

std::optional<Error> MakeTextFiles(CatalogueHost& host, const ReadAheadSettings& /*settings*/) {
    const std::string prefix = FolderPrefix(host.folderPath());
    const std::string listPath = prefix + "filelist.txt";

    // The list is opened first, so a missing list leaves earlier output files untouched.
    ListReader list;
    if (auto error = list.open(listPath)) {
        if (error->code == ENOENT)
            error->hint = kMakeListFirstHint;
        return error;
    }
    OutputFile table;
    if (auto error = table.create(prefix + "table.txt"))
        return error;
    OutputFile polys;
    if (auto error = polys.create(prefix + "polys.txt"))
        return error;

    SceneFileReader reader;
    SceneRecord record;
    std::string line;
    std::string fullPath = prefix;
    std::int32_t counter = 0;

    while (!list.atEnd()) {
        const auto next = NextSceneNumber(counter);
        if (!next)
            return Error{EOVERFLOW, "More than 2147483647 lines in " + listPath,
                         "Split the list into several folders."};
        counter = *next;
        list.readLine(line);
        if (list.error())
            return list.error();

        fullPath.resize(prefix.size());
        fullPath += line;
        const std::string_view text = reader.read(fullPath);

        if (host.blanksSelected() && !text.starts_with("GROUP"))
            host.showMessage(fullPath);

        record = SceneRecord{};
        record.SceneNumber = counter;
        record.FullPath = fullPath;
        ExtractRecord(text, record);

        if (host.polysSelected()) {
            AppendPolygonBlock(polys.stream(), record);
            if (auto error = polys.check())
                return error;
        } else if (host.spreadSelected()) {
            AppendTableRow(table.stream(), record);
            if (auto error = table.check())
                return error;
        } else {
            host.showMessage(kNoStyleMessage);
            break;
        }
        host.progress(counter, 0);
        if (host.cancelRequested())
            return Cancelled("Stopped after " + std::to_string(counter) +
                             " listed files. Nothing was changed.");
    }
    if (list.error())
        return list.error();

    AppendClosingLine(polys.stream());
    if (auto error = polys.check())
        return error;
    list.close();
    if (auto error = table.close())
        return error;
    return polys.close();
}

} // namespace aster
