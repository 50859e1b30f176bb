#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
// AVX2 code may be built on x86 with any flags, for functions marked for it, and runs
// where the processor has AVX2 (UseAvx2).
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define ASTER_AVX2 1
#endif

namespace aster {

// How a scanner classes a text's bytes: with AVX2, 32 bytes in a few instructions, where
// the processor has it (the scanner asks it at each call), or through ByteBlock, which
// every machine can run. Both give the same answers; the choice is there so that tests
// can hold them to it.
enum class BlockScan { Fastest, Portable };

// Whether AVX2's 32-byte instructions may be used for `how`.
inline bool UseAvx2(BlockScan how) {
#if defined(ASTER_AVX2)
    return how == BlockScan::Fastest && __builtin_cpu_supports("avx2");
#else
    (void)how;
    return false;
#endif
}

// Thirty-two bytes of a text, asked about all at once: each answer has one bit a byte, the
// first byte lowest. A scanner classes a whole text this way in a pass whose blocks do not
// wait on each other. SSE2 is part of every x86-64; elsewhere the same answers come a byte
// at a time.
class ByteBlock {
  public:
    static constexpr std::size_t kSize = 32;

    explicit ByteBlock(const char* bytes) {
#if defined(__SSE2__)
        m_low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
        m_high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 16));
#else
        std::memcpy(m_bytes, bytes, kSize);
#endif
    }

    std::uint32_t equal(char value) const {
#if defined(__SSE2__)
        const __m128i wanted = _mm_set1_epi8(value);
        return Bits(_mm_cmpeq_epi8(m_low, wanted), _mm_cmpeq_epi8(m_high, wanted));
#else
        const auto wanted = static_cast<unsigned char>(value);
        return where([wanted](unsigned char byte) { return byte == wanted; });
#endif
    }

    // The bytes from `first` to `last`, both included, as unsigned numbers.
    std::uint32_t within(unsigned char first, unsigned char last) const {
#if defined(__SSE2__)
        const __m128i base = _mm_set1_epi8(static_cast<char>(first));
        const __m128i span = _mm_set1_epi8(static_cast<char>(last - first));
        const auto inside = [&](__m128i bytes) {
            const __m128i offset = _mm_sub_epi8(bytes, base);
            return _mm_cmpeq_epi8(_mm_min_epu8(offset, span), offset);
        };
        return Bits(inside(m_low), inside(m_high));
#else
        return where([first, last](unsigned char byte) { return byte >= first && byte <= last; });
#endif
    }

  private:
#if defined(__SSE2__)
    static std::uint32_t Bits(__m128i low, __m128i high) {
        return static_cast<std::uint32_t>(_mm_movemask_epi8(low)) |
               static_cast<std::uint32_t>(_mm_movemask_epi8(high)) << 16;
    }
    __m128i m_low;
    __m128i m_high;
#else
    template <typename Test> std::uint32_t where(Test test) const {
        std::uint32_t bits = 0;
        for (std::size_t i = 0; i < kSize; ++i)
            bits |= static_cast<std::uint32_t>(test(m_bytes[i])) << i;
        return bits;
    }
    unsigned char m_bytes[kSize];
#endif
};

} // namespace aster
