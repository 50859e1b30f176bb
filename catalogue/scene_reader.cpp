#include "catalogue/scene_reader.h"

#include <cstring>

namespace aster {

namespace {

// The first place of `needle` in `text`, as std::string_view::find gives it. glibc's
// memmem skips ahead by pairs of bytes, where find stops at every byte equal to the
// needle's first and compares from there: a tag's first letter is common in scene text.
std::size_t Find(std::string_view text, std::string_view needle) {
    if (needle.size() > text.size())
        return text.npos;
    if (needle.size() == 1)
        return text.find(needle.front());
    const void* const found = ::memmem(text.data(), text.size(), needle.data(), needle.size());
    return found ? static_cast<const char*>(found) - text.data() : text.npos;
}

} // namespace

std::string_view Extract(std::string_view TextIN, std::string_view StartTag,
                         std::string_view EndTag) {
    if (StartTag.empty())
        return {};
    const std::size_t first = Find(TextIN, StartTag);
    if (first == TextIN.npos)
        return {};
    const std::size_t segStart = first + StartTag.size();
    const std::string_view rest = TextIN.substr(segStart);

    const std::size_t end = EndTag.empty() ? rest.npos : Find(rest, EndTag);
    if (end == rest.npos) {
        // The whole segment: up to a second start tag or the end of the text.
        const std::size_t second = Find(rest, StartTag);
        return rest.substr(0, second);
    }
    // Only a start tag that begins before the end tag's last byte can cut the result
    // short, so the search for it is bounded to that window.
    const std::size_t windowSize = end + EndTag.size() - 1 + StartTag.size();
    const std::size_t second = Find(rest.substr(0, windowSize), StartTag);
    return rest.substr(0, second != rest.npos ? second : end);
}

std::array<std::string_view, 4> SplitList(std::string_view list) {
    std::array<std::string_view, 4> values{};
    std::string_view rest = list;
    for (std::size_t pass = 0; pass < 3; ++pass) {
        const std::size_t comma = rest.find(',');
        if (comma == rest.npos)
            continue; // no comma: this value is empty and the rest stays as it is
        values[pass] = rest.substr(0, comma);
        rest.remove_prefix(comma + 1);
    }
    values[3] = rest;
    return values;
}

void ExtractRecord(std::string_view text, SceneRecord& record) {
    const std::string_view timeBlock = Extract(text, "TimeofDay", "TYPE");
    const std::string_view dateBlock = Extract(text, "CalendarDate", "TYPE");
    const std::string_view latList = Extract(text, "Value = (", ")");
    const std::string_view lonBlock = Extract(text, "GRingPointLongitude", "TYPE");
    const std::string_view lonList = Extract(lonBlock, "(", ")");
    record.SceneTime = Extract(timeBlock, "\"", "\"");
    record.SceneDate = Extract(dateBlock, "\"", "\"");
    const auto lat = SplitList(latList);
    const auto lon = SplitList(lonList);
    record.Lat1 = lat[0];
    record.Lat2 = lat[1];
    record.Lat3 = lat[2];
    record.Lat4 = lat[3];
    record.Lon1 = lon[0];
    record.Lon2 = lon[1];
    record.Lon3 = lon[2];
    record.Lon4 = lon[3];
}

} // namespace aster
