#include "stac/percent_encoding.h"

#include "fileio/utf8.h"

namespace aster {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

} // namespace

bool NamesUtf8(std::string_view reference) {
    // Most references name ASCII alone, which is UTF-8: no byte past 0x7F is encoded.
    bool beyondAscii = false;
    for (std::size_t at = reference.find('%'); at != reference.npos && !beyondAscii;
         at = reference.find('%', at + 1))
        beyondAscii = at + 1 < reference.size() && HexValue(reference[at + 1]) >= 8;
    if (!beyondAscii)
        return true;
    std::string bytes;
    for (std::size_t i = 0; i < reference.size(); ++i) {
        const int high = i + 2 < reference.size() ? HexValue(reference[i + 1]) : -1;
        const int low = high >= 0 ? HexValue(reference[i + 2]) : -1;
        if (reference[i] == '%' && low >= 0) {
            bytes += static_cast<char>(high << 4 | low);
            i += 2;
        } else {
            bytes += reference[i];
        }
    }
    return IsUtf8(bytes);
}

std::string PercentEncoded(std::string_view text) {
    std::string encoded;
    AppendPercentEncoded(encoded, text);
    return encoded;
}

void AppendPercentEncoded(std::string& encoded, std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    encoded.reserve(encoded.size() + text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
            (byte >= '0' && byte <= '9') || c == '-' || c == '.' || c == '_' || c == '~' ||
            c == '/') {
            encoded += c;
        } else {
            encoded += '%';
            encoded += kHex[byte >> 4];
            encoded += kHex[byte & 15];
        }
    }
}

} // namespace aster
