#include "metadata/odl_byte_map.h"

namespace aster {

namespace {

// The blanks among 32 bytes.
std::uint32_t Blanks(const ByteBlock& block) {
    return block.equal(' ') | block.within('\t', '\r');
}

// The bytes among 32 that end a bare word: those no word is made of, and '/', which may
// open a comment.
std::uint32_t WordEnds(const ByteBlock& block) {
    return block.within(0, ' ') | block.within('<', '>') | block.within('(', ')') |
           block.equal('{') | block.equal('}') | block.equal(',') | block.equal('"') |
           block.equal('\'') | block.equal('/') | block.equal('\x7f');
}

void MapByComparisons(const char* bytes, std::size_t chunks, const OdlByteMaps& maps) {
    const auto both = [](std::uint32_t low, std::uint32_t high) {
        return low | std::uint64_t{high} << 32;
    };
    for (std::size_t i = 0; i < chunks; ++i, bytes += 64) {
        const ByteBlock low(bytes);
        const ByteBlock high(bytes + ByteBlock::kSize);
        maps.blanks[i] = both(Blanks(low), Blanks(high));
        maps.spacing[i] = maps.blanks[i] | both(low.equal('='), high.equal('='));
        maps.words[i] = ~both(WordEnds(low), WordEnds(high));
    }
}

#if defined(ASTER_AVX2)
// A byte's classes are the bits its high half's entry and its low half's entry share. Each
// bit stands for a set of high halves crossed with a set of low halves:
//   0x01 word end: high 0 or 1, any low (control bytes and blanks)
//   0x02 word end: high 2, low 0 2 7 8 9 C F (space " ' ( ) , /)
//   0x04 word end: high 3, low C D E (< = >)
//   0x08 word end: high 7, low B D F ({ } DEL)
//   0x10 blank:    high 0, low 9 to D (tab to CR)
//   0x20 blank:    high 2, low 0 (space)
//   0x40 '=':      high 3, low D
// Bytes from 0x80 on have no class: they belong to words.
constexpr char kHighHalves[16] = {0x11, 0x01, 0x22, 0x44, 0, 0, 0, 0x08, 0, 0, 0, 0, 0, 0, 0, 0};
constexpr char kLowHalves[16] = {0x23, 0x01, 0x03, 0x01, 0x01, 0x01, 0x01, 0x03,
                                 0x03, 0x13, 0x11, 0x19, 0x17, 0x5d, 0x05, 0x0b};
constexpr char kWordEnd = 0x0f;
constexpr char kBlank = 0x30;
constexpr char kSpacing = 0x70;

// A table of 16 entries in both halves of a register, as AVX2's shuffle looks up each
// half's bytes in its own half.
[[gnu::target("avx2"), gnu::always_inline]] inline __m256i TableOf(const char* entries) {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(entries)));
}

[[gnu::target("avx2"), gnu::always_inline]] inline std::uint64_t BitsOf(__m256i classes,
                                                                        char wanted) {
    const __m256i none = _mm256_cmpeq_epi8(_mm256_and_si256(classes, _mm256_set1_epi8(wanted)),
                                           _mm256_setzero_si256());
    return static_cast<std::uint64_t>(~static_cast<std::uint32_t>(_mm256_movemask_epi8(none)));
}

[[gnu::target("avx2")]] void MapByTables(const char* bytes, std::size_t chunks,
                                         const OdlByteMaps& maps) {
    const __m256i highTable = TableOf(kHighHalves);
    const __m256i lowTable = TableOf(kLowHalves);
    const __m256i halves = _mm256_set1_epi8(0x0f);
    for (std::size_t i = 0; i < chunks; ++i, bytes += 64) {
        std::uint64_t blanks = 0;
        std::uint64_t spacing = 0;
        std::uint64_t ends = 0;
        for (int part = 0; part < 2; ++part) {
            const __m256i x =
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + 32 * part));
            const __m256i high = _mm256_and_si256(_mm256_srli_epi16(x, 4), halves);
            const __m256i classes =
                _mm256_and_si256(_mm256_shuffle_epi8(highTable, high),
                                 _mm256_shuffle_epi8(lowTable, _mm256_and_si256(x, halves)));
            blanks |= BitsOf(classes, kBlank) << (32 * part);
            spacing |= BitsOf(classes, kSpacing) << (32 * part);
            ends |= BitsOf(classes, kWordEnd) << (32 * part);
        }
        maps.blanks[i] = blanks;
        maps.spacing[i] = spacing;
        maps.words[i] = ~ends;
    }
}
#endif

} // namespace

void MapOdlBytes(const char* bytes, std::size_t chunks, const OdlByteMaps& maps, BlockScan how) {
#if defined(ASTER_AVX2)
    if (UseAvx2(how)) {
        MapByTables(bytes, chunks, maps);
        return;
    }
#endif
    (void)how;
    MapByComparisons(bytes, chunks, maps);
}

} // namespace aster
