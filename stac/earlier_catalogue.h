#pragma once

#include "fileio/error.h"

#include <optional>
#include <string>
#include <string_view>

namespace aster {

inline constexpr std::string_view kCollectionFile = "collection.json";

// Whether the folder at `outputPath` (absolute, in normal form; `shownPath` in messages)
// may be replaced by a new static catalogue: with `overwrite`, and only when it is empty
// or holds nothing but a catalogue this tool wrote (collection.json, a STAC Collection
// whose processor provider names aster, or as an earlier version described it, and item
// folders each holding only its <folder>.json). A user's own files never go with a
// replaced catalogue. `exists` tells whether anything is there.
std::optional<Error> CheckEarlierCatalogue(const std::string& outputPath,
                                           const std::string& shownPath, bool overwrite,
                                           bool& exists);

// The same judgement of the folder open as `folderFd`: `what` is left empty when it is
// empty or aster's catalogue, else says what it holds that aster does not write.
std::optional<Error> WhatAsterDidNotWrite(int folderFd, const std::string& shownPath,
                                          std::string& what);

} // namespace aster
