#include "stac/stac_catalogue.h"

#include "fileio/ascii.h"
#include "stac/asset_files.h"
#include "stac/stac_output.h"

#include <cerrno>

namespace aster {

bool IsItemCollectionPath(std::string_view outputPath) {
    return EndsWithNoCase(outputPath, ".json") || EndsWithNoCase(outputPath, ".geojson");
}

std::optional<std::string> AssetHrefBase(std::string_view given) {
    const auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    std::string base;
    if (given.starts_with('/')) {
        // Appended, not "/" + ...: GCC 12 takes the insert at the front for an overlapping copy
        // (-Wrestrict).
        base = "/";
        base += RelativeFolderHref("/", given);
    } else {
        // RFC 3986: a scheme is a letter, then letters, digits, "+", "-" and ".".
        const std::size_t colon = given.find(':');
        if (colon == std::string_view::npos || colon == 0 || !letter(given[0]))
            return std::nullopt;
        for (const char c : given.substr(0, colon))
            if (!letter(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.')
                return std::nullopt;
        // A URL holds nothing but these, a blank or a non-ASCII byte percent-encoded; no
        // query or fragment ('?', '#'), since each file's path follows the base.
        constexpr std::string_view kUriCharacters = "-._~:/[]@!$&'()*+,;=%";
        for (const char c : given)
            if (!letter(c) && !(c >= '0' && c <= '9') &&
                kUriCharacters.find(c) == std::string_view::npos)
                return std::nullopt;
        base = given;
    }
    if (!base.ends_with('/'))
        base += '/';
    return base;
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
    std::optional<Error> error =
        RunScenes({folderPrefix, options.readAhead, {options.listPath, true}, options.listSearched},
                  *output, host, report);
    // A full disk or a size limit stops the run before anything takes the output's place,
    // which is replaced whole or not at all: the message names the output, not an item
    // that only the unfinished catalogue held, and says the earlier one stands.
    if (error && (error->kind == ErrorKind::NoSpace || error->code == EFBIG)) {
        Error stopped = SystemError(error->code, options.outputPath);
        stopped.hint += " Nothing was changed.";
        error = std::move(stopped);
    }
    return error;
}

} // namespace aster
