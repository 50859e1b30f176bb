#pragma once

#include <string>
#include <string_view>

namespace aster {

// `text` as a URI reference: every byte but the unreserved ones (letters, digits, "-",
// ".", "_", "~") and "/" percent-encoded. A file's name is encoded as the bytes it is,
// UTF-8 or not, so that the reference, decoded, names exactly that file.
std::string PercentEncoded(std::string_view text);
// The same, after what `encoded` holds.
void AppendPercentEncoded(std::string& encoded, std::string_view text);
// Whether a reference PercentEncoded made names bytes that are UTF-8: browsers decode a
// reference's bytes as UTF-8, and many servers too, so they cannot follow one that is not.
bool NamesUtf8(std::string_view reference);

} // namespace aster
