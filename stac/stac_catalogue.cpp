#include "stac/stac_catalogue.h"

#include "fileio/ascii.h"
#include "stac/stac_output.h"

namespace aster {

bool IsItemCollectionPath(std::string_view outputPath) {
    return EndsWithNoCase(outputPath, ".json") || EndsWithNoCase(outputPath, ".geojson");
}

std::string CollectionIdOf(std::string_view folderName) {
    std::string id;
    bool gap = false;
    for (const char c : folderName) {
        const bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
        if (!kept) {
            gap = true;
            continue;
        }
        if (gap && !id.empty())
            id += '-';
        gap = false;
        id += c;
    }
    while (!id.empty() && (id.front() == '-' || id.front() == '.'))
        id.erase(0, 1);
    while (!id.empty() && (id.back() == '-' || id.back() == '.'))
        id.pop_back();
    return id.empty() ? "aster-scenes" : id;
}

std::optional<Error> WriteStac(const std::string& folderPrefix, const StacOptions& options,
                               SceneRunReport& report, SceneRunHost& host) {
    const std::unique_ptr<StacOutput> output = IsItemCollectionPath(options.outputPath)
                                                   ? MakeItemCollectionFile(folderPrefix, options)
                                                   : MakeStaticCatalogue(folderPrefix, options);
    return RunScenes({folderPrefix, options.readAhead, {options.listPath, true}}, *output, host,
                     report);
}

} // namespace aster
