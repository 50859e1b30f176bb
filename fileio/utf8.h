#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace aster {

// What some editors put before a text they save as UTF-8; it is no part of the text.
inline constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";

// The one rule by which bytes become text where a format demands text (a layer's fields,
// JSON): the bytes themselves when they are valid UTF-8; otherwise every byte read as a
// Latin-1 character and encoded in UTF-8.
std::string Utf8FromBytes(std::string_view bytes);
// A path as text: each of its names by that rule on its own, so that a Latin-1 file name
// leaves the UTF-8 names of its folders as they are, and a path's last name reads as the
// name itself does.
std::string Utf8FromPath(std::string_view path);
// The same rule in place, which leaves a text that is valid UTF-8 as it is, uncopied.
void MakeUtf8(std::string& text);
// Whether `bytes` are valid UTF-8, as Utf8FromBytes tells it.
bool IsUtf8(std::string_view bytes);
// The bytes that Utf8FromBytes read as Latin-1 to give `text`: empty where no bytes did
// (the text is ASCII, or holds a character past U+00FF). A name taken from a file's text
// is looked for in a folder by both spellings, since the file's bytes may have been either.
std::string Latin1BytesOf(std::string_view text);

// The length of the valid UTF-8 sequence at the start of `bytes`, or 0 when none starts
// there. Overlong forms, surrogates (U+D800..U+DFFF) and code points past U+10FFFF are not
// valid UTF-8, so Utf8FromBytes reads them as Latin-1 like any other stray byte.
std::size_t Utf8SequenceLength(std::string_view bytes);

} // namespace aster
