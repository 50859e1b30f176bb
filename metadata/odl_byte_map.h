#pragma once

#include "fileio/byte_block.h"

#include <cstddef>
#include <cstdint>

namespace aster {

// Where an ODL text's blanks and words are, one bit a byte: bit i of word i / 64 is set
// when byte i is a blank, in `blanks`; a blank or '=', in `spacing`; a byte a bare word is
// made of other than '/', in `words`. A scanner classes a whole text first, in a pass
// whose chunks do not wait on each other, and then finds where each token ends from a
// word of a map.
struct OdlByteMaps {
    std::uint64_t* blanks;
    std::uint64_t* spacing;
    std::uint64_t* words;
};

// How the bytes are classed: through two 16-byte tables indexed by each byte's halves
// (AVX2's shuffle, 32 bytes at once, where the processor has it), or through comparisons
// that every machine can make. Both give the same maps; the choice is there so that tests can say
// so.
enum class OdlByteMapping { Fastest, Portable };

// Classes `chunks` whole chunks of 64 bytes from `bytes` into word 0 on of each map: with
// AVX2, through two 16-entry tables indexed by each byte's halves, else by comparisons.
void MapOdlBytes(const char* bytes, std::size_t chunks, const OdlByteMaps& maps,
                 BlockScan how = BlockScan::Fastest);

} // namespace aster
