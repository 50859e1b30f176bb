#pragma once

#include <string>
#include <string_view>

namespace aster {

// The one rule by which bytes become text where a format demands text (a layer's fields,
// JSON): the bytes themselves when they are valid UTF-8; otherwise every byte read as a
// Latin-1 character and encoded in UTF-8.
std::string Utf8FromBytes(std::string_view bytes);

} // namespace aster
