#include "stac/percent_encoding.h"

namespace aster {

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
