#include "catalogue/scene_reader.h"

#include "fileio/byte_block.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

namespace aster {

namespace {

// The places of the blocks from `pos` on, 32 at a time, where both the needle's first and
// last bytes are, compared whole in order; from the first block the loop does not reach
// on, by std::string_view::find. `Candidates` tests a block.
template <typename Candidates>
[[gnu::always_inline]] inline std::size_t
FindByBlocks(std::string_view text, std::string_view needle, const Candidates& candidatesAt) {
    const std::size_t lastAt = needle.size() - 1;
    const char* const bytes = text.data();
    std::size_t pos = 0;
    for (; pos + lastAt + ByteBlock::kSize <= text.size(); pos += ByteBlock::kSize) {
        for (std::uint32_t candidates = candidatesAt(bytes + pos, lastAt); candidates != 0;
             candidates &= candidates - 1) {
            const std::size_t at = pos + static_cast<std::size_t>(std::countr_zero(candidates));
            if (std::equal(needle.begin() + 1, needle.end() - 1, bytes + at + 1))
                return at;
        }
    }
    const std::size_t tail = text.substr(pos).find(needle);
    return tail == text.npos ? text.npos : pos + tail;
}

#if defined(ASTER_AVX2)
struct Avx2Candidates {
    __m256i first;
    __m256i last;
    [[gnu::target("avx2")]] std::uint32_t operator()(const char* block, std::size_t lastAt) const {
        const __m256i atFirst = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block));
        const __m256i atLast = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + lastAt));
        return static_cast<std::uint32_t>(_mm256_movemask_epi8(
            _mm256_and_si256(_mm256_cmpeq_epi8(atFirst, first), _mm256_cmpeq_epi8(atLast, last))));
    }
};

[[gnu::target("avx2")]] std::size_t FindWithAvx2(std::string_view text, std::string_view needle) {
    return FindByBlocks(
        text, needle,
        Avx2Candidates{_mm256_set1_epi8(needle.front()), _mm256_set1_epi8(needle.back())});
}
#endif

// The first place of `needle` in `text`, as std::string_view::find gives it. Each block
// of 32 places is tested at once for the needle's first and last bytes, and only where
// both are there is it compared whole: tags are rare in scene text, and their letters
// are not, so that glibc's memmem, a byte at a time, took a fifth of a text run's time.
std::size_t Find(std::string_view text, std::string_view needle,
                 BlockScan how = BlockScan::Fastest) {
    if (needle.size() > text.size())
        return text.npos;
    if (needle.size() <= 1)
        return text.find(needle);
#if defined(ASTER_AVX2)
    if (UseAvx2(how))
        return FindWithAvx2(text, needle);
#endif
    return FindByBlocks(text, needle, [&](const char* block, std::size_t lastAt) {
        return ByteBlock(block).equal(needle.front()) &
               ByteBlock(block + lastAt).equal(needle.back());
    });
}

} // namespace

namespace {

// Extract's view, and how many of the text's first bytes decide it: npos where a longer
// text could give another view, so that a file's head may be known to stand for it.
struct Located {
    std::string_view view;
    std::size_t decidedBy = std::string_view::npos;
};

Located Locate(std::string_view TextIN, std::string_view StartTag, std::string_view EndTag,
               BlockScan how) {
    if (StartTag.empty())
        return {{}, 0};
    const std::size_t first = Find(TextIN, StartTag, how);
    if (first == TextIN.npos)
        return {};
    const std::size_t segStart = first + StartTag.size();
    const std::string_view rest = TextIN.substr(segStart);

    const std::size_t end = EndTag.empty() ? rest.npos : Find(rest, EndTag, how);
    if (end == rest.npos) {
        // The whole segment: up to a second start tag or the end of the text.
        const std::size_t second = Find(rest, StartTag, how);
        const bool decided = EndTag.empty() && second != rest.npos;
        return {rest.substr(0, second),
                decided ? segStart + second + StartTag.size() : std::string_view::npos};
    }
    // Only a start tag that begins before the end tag's last byte can cut the result
    // short, so the search for it is bounded to that window.
    const std::size_t windowSize = end + EndTag.size() - 1 + StartTag.size();
    const std::size_t second = Find(rest.substr(0, windowSize), StartTag, how);
    return {rest.substr(0, second != rest.npos ? second : end), segStart + windowSize};
}

} // namespace

std::string_view Extract(std::string_view TextIN, std::string_view StartTag,
                         std::string_view EndTag, BlockScan how) {
    return Locate(TextIN, StartTag, EndTag, how).view;
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

namespace {

constexpr std::string_view kTimeTag = "TimeofDay";
constexpr std::string_view kDateTag = "CalendarDate";
constexpr std::string_view kLatitudesTag = "Value = (";
constexpr std::string_view kLongitudesTag = "GRingPointLongitude";

// The four blocks a record's fields come from, each Extract's view of its tags.
struct RecordBlocks {
    Located time, date, latitudes, longitudes;
};

void FillRecord(const RecordBlocks& blocks, SceneRecord& record) {
    const std::string_view lonList = Extract(blocks.longitudes.view, "(", ")");
    record.SceneTime = Extract(blocks.time.view, "\"", "\"");
    record.SceneDate = Extract(blocks.date.view, "\"", "\"");
    const auto lat = SplitList(blocks.latitudes.view);
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

} // namespace

bool SettleRecord(std::string_view head, SceneRecord& record) {
    // Each search stops at the first block that is not settled: the searches within the
    // blocks see only bytes of blocks that are.
    const auto settled = [&](Located& located, std::string_view StartTag, std::string_view EndTag) {
        located = Locate(head, StartTag, EndTag, BlockScan::Fastest);
        return located.decidedBy <= head.size();
    };
    RecordBlocks blocks;
    if (!settled(blocks.time, kTimeTag, "TYPE") || !settled(blocks.date, kDateTag, "TYPE") ||
        !settled(blocks.latitudes, kLatitudesTag, ")") ||
        !settled(blocks.longitudes, kLongitudesTag, "TYPE"))
        return false;
    FillRecord(blocks, record);
    return true;
}

bool RecordSettledBy(std::string_view head) {
    SceneRecord record;
    return SettleRecord(head, record);
}

void ExtractRecord(std::string_view text, SceneRecord& record) {
    const BlockScan how = BlockScan::Fastest;
    FillRecord({Locate(text, kTimeTag, "TYPE", how), Locate(text, kDateTag, "TYPE", how),
                Locate(text, kLatitudesTag, ")", how), Locate(text, kLongitudesTag, "TYPE", how)},
               record);
}

} // namespace aster
