#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace aster {

// The ECS metadata an HDF-EOS file carries inside, as ODL texts in its global attributes:
// coremetadata.N always, productmetadata.N and archivemetadata.N where the product has
// them (ASTER L1A and L1B do). A long text is split over .0, .1, ...; each text here is its
// parts joined in the order of their numbers, without the NUL bytes that end a part. A
// text the file does not carry is empty. Other attributes (productmetadata.v and the
// like, one per telescope) are no part of these texts.
struct HdfTexts {
    std::string core;
    std::string product;
    std::string archive;
    bool operator==(const HdfTexts&) const = default;
};

// The first bytes of every HDF4 file.
inline constexpr std::string_view kHdf4Magic{"\x0e\x03\x13\x01", 4};
// A text (all its parts together) longer than this is refused: ECS texts are some tens of
// kilobytes, and the attribute's length is the file's word, which may be anything.
inline constexpr std::size_t kMaxHdfTextBytes = std::size_t{16} << 20;

// Whether a file's first bytes are an HDF4 file's, so that the run can tell one from its
// head without opening it with the HDF library.
bool LooksLikeHdf4(std::string_view head);

// The texts, or why there are none, in a few words for `--verbose`:
//   "not an HDF file"                  the file does not start as one (or is no file)
//   "truncated HDF"                    its blocks run past the end of the file
//   "unreadable HDF"                   the HDF library cannot read it
//   "HDF file without ECS metadata"    no coremetadata.N attribute
//   "coremetadata of more than 16 MiB" (also productmetadata, archivemetadata)
struct HdfTextsOrReason {
    std::optional<HdfTexts> texts;
    std::string reason;
};

// Reads the texts of the HDF file open as `fd`, which stays open and at its offset. Only
// the file's block lists and attributes are read, never its images. Any thread may call
// this; calls into the HDF library, which is not thread-safe, are taken one at a time.
HdfTextsOrReason ReadHdfTexts(int fd);

} // namespace aster
