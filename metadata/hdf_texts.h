#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
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
//   "truncated or damaged HDF"         its blocks run past the end of the file
//   "unreadable HDF"                   the HDF library cannot read it (or failed on it)
//   "HDF file without ECS metadata"    no coremetadata.N attribute
//   "coremetadata of more than 16 MiB" (also productmetadata; an archivemetadata text so
//                                      large is left out, empty)
struct HdfTextsOrReason {
    std::optional<HdfTexts> texts;
    std::string reason;
};
inline constexpr std::string_view kNotHdf{"not an HDF file"};
inline constexpr std::string_view kTruncatedHdf{"truncated or damaged HDF"};
inline constexpr std::string_view kUnreadableHdf{"unreadable HDF"};
// A read given up while it waited, since the user stopped the run.
inline constexpr std::string_view kHdfReadGivenUp{"not read: the run was stopped"};

// Asked, on any thread and every tenth of a second, while a read waits for the helper's
// answer: true gives the read up, so that a stop is heard at once and not only when a
// helper that hangs has had its minute.
using GiveUpWaiting = std::function<bool()>;

// Where the HDF4 library runs for an `HdfReader`: in a helper process, the program
// `aster-hdf-reader`, or, without a program, in this process.
struct HdfReaderSettings {
    std::string program; // the helper's path; empty: no helper
    // A helper that has not answered by then is taken to hang in the library, and is
    // stopped: far longer than reading an HDF file's attributes from the slowest share.
    std::chrono::milliseconds answerWithin{std::chrono::seconds(60)};
};

// Reads HDF files' texts, from any thread. The HDF4 library is not thread-safe, so one
// thread at a time has it, and that thread reads every file asked for meanwhile too.
// With a helper, the library crashing or hanging on a damaged file costs that file alone.
class HdfReader {
  public:
    explicit HdfReader(HdfReaderSettings settings);
    HdfReader(const HdfReader&) = delete;
    HdfReader& operator=(const HdfReader&) = delete;
    // No read may be under way.
    ~HdfReader();

    // The texts of the HDF file open as `fd`, which stays open and at its offset. Only the
    // file's block lists and attributes are read, never its images.
    HdfTextsOrReason read(int fd, const GiveUpWaiting& giveUp = {});

  private:
    class Turns;
    std::unique_ptr<Turns> m_turns;
};

// Through the reader of this process, with a helper where the helper program is beside
// the running program (a build tree) or where the package installs it.
HdfTextsOrReason ReadHdfTexts(int fd, const GiveUpWaiting& giveUp = {});

// Through a reader with the library in this process: the helper's own reads.
HdfTextsOrReason ReadHdfTextsHere(int fd);

} // namespace aster
