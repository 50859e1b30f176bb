#pragma once

#include "fileio/error.h"
#include "metadata/scene_run.h"
#include "readahead/listed_scenes.h"
#include "stac/licenses.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace aster {

// A STAC catalogue (STAC 1.0.0) of the scenes a folder's filelist.txt lists, read exactly
// as the footprint layer reads them: the same reader, footprint shape, skipped files and
// reasons. A scene without an acquisition time is skipped too, since STAC requires one.
//
// Two shapes of output:
// - a static catalogue, when the output's name does not end in ".json" or ".geojson": a
//   folder holding collection.json (a Collection that links to every item) and each item
//   in <id>/<id>.json. Every link and href is relative (asset hrefs unless given a base,
//   see StacOptions::assetHrefBase), so the folder that holds both the catalogue and the
//   scenes may be moved or served as it is. It is written into a hidden scratch folder beside the output, brought
//   to disk with one syncfs, and moved into place whole: an error or a stop leaves an
//   earlier catalogue exactly as it was.
// - an ItemCollection, when it ends in ".json" or ".geojson": one GeoJSON
//   FeatureCollection of the items, for bulk loaders, written as every other output file
//   is (see ReplacementFile). Its items name the collection a static catalogue of the same
//   folder has, and link to it as "./collection.json" beside the file.
//
// Each item points at its metadata file and at every file beside it whose name starts with
// the granule's ID and a separator (HDF, GeoTIFFs, the browse image, the QA report), found
// in the folder's entries and never opened; each file is one item's only (SceneAssets).

struct StacOptions {
    // A folder for a static catalogue, a file for an ItemCollection (see above); relative
    // to the current folder unless absolute. Its folder must exist.
    std::string outputPath;
    // Replace an earlier output. An earlier static catalogue is replaced only when aster
    // wrote it (see CheckEarlierCatalogue) or it is an empty folder: never a user's folder.
    bool overwrite = false;
    // The collection's license: an SPDX identifier, "various" or "proprietary" (see
    // CatalogueLicense).
    std::string license{kDefaultLicense};
    // The list of the files to read, each line a path from the scene folder; empty for the
    // folder's filelist.txt.
    std::string listPath;
    // The list is what a search of the folder found (its tree, name patterns), not a file.
    bool listSearched = false;
    // Where the scene folder is served or kept, for hrefs that hold wherever the catalogue
    // goes: a URL ("https://data.example.org/aster/") or an absolute path. Each asset's
    // href is then this, a "/", and the file's path from the scene folder, percent-encoded.
    // Empty: hrefs relative to the item's file. Links between the catalogue's own
    // documents stay relative either way.
    std::string assetHrefBase;
    ReadAheadSettings readAhead;
};

// The start of every asset href for StacOptions::assetHrefBase `given`, ending in "/": a
// URL (a scheme and ":") as given, an absolute path percent-encoded as its bytes.
// Nothing for anything else, such as a relative path or a URL with a query or fragment.
std::optional<std::string> AssetHrefBase(std::string_view given);

// Whether `outputPath` names an ItemCollection rather than a static catalogue.
bool IsItemCollectionPath(std::string_view outputPath);

// The collection's id made from the scene folder's name: letters, digits, "-", "_" and
// "." kept, every run of other bytes one "-", none at either end; "aster-scenes" when
// nothing is left.
std::string CollectionIdOf(std::string_view folderName);

// Reads folderPrefix + "filelist.txt" through the scene run (metadata/scene_run.h) and
// writes the catalogue to options.outputPath. A missing list gives the same error as the
// text run; a stop gives a cancellation error. An item's id that is not its granule's ID
// is told to the host's idChanged after the last listed file, in list order.
std::optional<Error> WriteStac(const std::string& folderPrefix, const StacOptions& options,
                               SceneRunReport& report, SceneRunHost& host);

} // namespace aster
