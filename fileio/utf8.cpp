#include "fileio/utf8.h"

#include <algorithm>
#include <cstdint>

namespace aster {

std::size_t Utf8SequenceLength(std::string_view bytes) {
    if (bytes.empty())
        return 0;
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
    const std::uint8_t lead = byte(0);
    if (lead < 0x80)
        return 1;
    std::size_t length = 0;
    std::uint8_t low = 0x80; // the range the second byte must lie in
    std::uint8_t high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0; // below is overlong
        else if (lead == 0xED)
            high = 0x9F; // above are the surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90; // below is overlong
        else if (lead == 0xF4)
            high = 0x8F; // above is past U+10FFFF
    } else {
        return 0; // a continuation byte, an overlong lead (C0, C1) or F5..FF
    }
    if (bytes.size() < length || byte(1) < low || byte(1) > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF)
            return 0;
    }
    return length;
}

bool IsUtf8(std::string_view bytes) {
    while (!bytes.empty()) {
        // Runs of ASCII, the common case, are skipped without the sequence checks.
        if (static_cast<std::uint8_t>(bytes.front()) < 0x80) {
            bytes.remove_prefix(1);
            continue;
        }
        const std::size_t length = Utf8SequenceLength(bytes);
        if (length == 0)
            return false;
        bytes.remove_prefix(length);
    }
    return true;
}

std::string Utf8FromBytes(std::string_view bytes) {
    if (IsUtf8(bytes))
        return std::string(bytes);
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto byte = static_cast<std::uint8_t>(c);
        if (byte < 0x80) {
            text += c;
        } else {
            text += static_cast<char>(0xC0 | byte >> 6);
            text += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return text;
}

std::string Utf8FromPath(std::string_view path) {
    if (IsUtf8(path))
        return std::string(path);
    std::string text;
    text.reserve(path.size() * 2);
    for (std::size_t start = 0; start <= path.size();) {
        const std::size_t slash = std::min(path.find('/', start), path.size());
        text += Utf8FromBytes(path.substr(start, slash - start));
        if (slash < path.size())
            text += '/';
        start = slash + 1;
    }
    return text;
}

void MakeUtf8(std::string& text) {
    if (!IsUtf8(text))
        text = Utf8FromBytes(text);
}

std::string Latin1BytesOf(std::string_view text) {
    // Most names are ASCII, which no byte was read as Latin-1 to give.
    if (std::all_of(text.begin(), text.end(),
                    [](char c) { return static_cast<std::uint8_t>(c) < 0x80; }))
        return {};
    std::string bytes;
    bool latin1 = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto lead = static_cast<std::uint8_t>(text[i]);
        if (lead < 0x80) {
            bytes += text[i];
            continue;
        }
        // U+0080..U+00FF are C2 or C3 and one continuation byte; anything else has no byte.
        if ((lead != 0xC2 && lead != 0xC3) || Utf8SequenceLength(text.substr(i)) != 2)
            return {};
        bytes +=
            static_cast<char>((lead & 0x03) << 6 | (static_cast<std::uint8_t>(text[++i]) & 0x3F));
        latin1 = true;
    }
    return latin1 ? bytes : std::string();
}

} // namespace aster
