#pragma once

#include "fileio/error.h"
#include "fileio/fd_stream_buf.h"
#include "fileio/unique_fd.h"

#include <initializer_list>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace aster {

// An output file that replaces its name in a folder whole or not at all. The bytes go to
// a scratch file in the same folder: unnamed where the file system allows (so a killed
// program leaves nothing behind), otherwise under a hidden name that no listing shows.
// Publishing renames it over the name, so readers see the earlier file or the new one,
// never a part, and a link, FIFO or device standing at the name is replaced, never
// written through. The new file takes the owner, group, mode, access list and extended
// attributes of the earlier regular file at the name, as far as the user may give them
// (see FileAttributes).
class ReplacementFile {
  public:
    ReplacementFile();
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;
    // Removes the scratch file unless it was published.
    ~ReplacementFile();

    // Starts the file that will replace folderPrefix + name. Fails, touching nothing,
    // when the folder cannot take a new file or a folder stands at the name.
    std::optional<Error> create(const std::string& folderPrefix, std::string_view name);
    // Writes go to the scratch file; before a successful create() the stream is failed
    // and writes go nowhere.
    std::ostream& stream() { return m_stream; }
    // The error of the first failed write so far, if any.
    std::optional<Error> check() const;
    // The name this file replaces, as folder prefix + name.
    const std::string& path() const { return m_path; }
    // The scratch file, open for reading too, so that a writer may read back what it
    // wrote (after flushing stream()); -1 before a successful create().
    int fd() const { return m_fd.get(); }

  private:
    // Removes the scratch file; the name keeps its earlier file.
    void discard();
    friend std::optional<Error> PublishTogether(std::initializer_list<ReplacementFile*> files);

    std::optional<Error> finish();
    std::optional<Error> giveScratchName();

    std::string m_path;
    std::string m_name;
    UniqueFd m_dir;
    UniqueFd m_fd;
    std::string m_scratchName; // empty while the scratch file has no name
    std::unique_ptr<FdStreamBuf> m_buf;
    std::ostream m_stream;
};

// Makes every file the new content of its name, all of them or none: on an error every
// name keeps its earlier file and the scratch files are removed.
std::optional<Error> PublishTogether(std::initializer_list<ReplacementFile*> files);

// A finished scratch file and the name it is to replace, in the same folder.
struct ScratchMove {
    std::string from;
    std::string to;
};

// Renames each `from` over its `to`, all or none where the file system allows: on an
// error every `to` keeps its earlier file (the `from` files stay for the caller to
// remove). A `to` that is a folder is an error before anything moves. Before it moves,
// each `from` takes the owner, group, mode, access list and extended attributes of the
// earlier file at its `to` (see FileAttributes) or, where there is none, those of the
// earlier file at `mainPath`, the set's main file, if there is one.
std::optional<Error> MoveIntoPlace(const std::vector<ScratchMove>& moves,
                                   const std::string& mainPath = {});

// Scratch files are hidden: ".aster-", the name they replace, "-" and 16 hex digits.
inline constexpr std::string_view kScratchPrefix = ".aster-";
bool IsScratchName(std::string_view name);
// Removes the scratch file `name` in the folder `dirFd` when the program that wrote it
// has ended (no lock on it) and it is old enough not to be just starting.
void RemoveStaleScratchFile(int dirFd, const char* name);

} // namespace aster
