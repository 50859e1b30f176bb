#pragma once

#include "fileio/error.h"
#include "fileio/unique_fd.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace aster {

// A hidden folder, ".aster-" and six letters or digits, beside an output made of several
// files (a footprint layer, a catalogue), in which the output is written before its files
// are moved into place together. It is locked while it lives, so that a listing or a
// later run can tell it from one that a killed run left behind, and removed with
// everything in it when it goes out of scope.
class ScratchFolder {
  public:
    ScratchFolder() = default;
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    ~ScratchFolder();

    // Makes the folder inside `folder`. Errors name `outputPath`, the output the user
    // asked for: `folder` may be a bare ".".
    std::optional<Error> create(const std::string& folder, const std::string& outputPath);
    // `folder` + "/" + the hidden name; empty before create().
    const std::string& path() const { return m_path; }
    // The folder, open; -1 before create().
    int fd() const { return m_fd.get(); }

    // Makes the folder, with everything in it, the output `name` beside it (in the folder
    // given to create()): with `replace` in exchange for the folder at that name, which
    // then goes in its place and is removed with it; without, only where nothing has the
    // name. Readers see the earlier folder or the new one whole, never a mix. Once moved,
    // the folder is the output's and stays. Errors name `outputPath`.
    //
    // Before the earlier folder is removed, `keepEarlier` is asked about it (open, at the
    // scratch name); when it says so, the folder is kept whole under a visible name of
    // its own beside the output, "<name>.aster-old-" and six characters, which `keptAt`
    // is set to (its full path).
    std::optional<Error> moveTo(const std::string& name, bool replace,
                                const std::string& outputPath,
                                const std::function<bool(int earlierFd)>& keepEarlier = {},
                                std::string* keptAt = nullptr);

  private:
    void remove();
    void keepAside(const std::string& name, std::string* keptAt);

    std::string m_path;
    std::string m_name;
    UniqueFd m_parent;
    UniqueFd m_fd;
};

// Renames the folder `from` to `to` in the folder `dirFd`, unless something stands at
// `to` (EEXIST). Returns 0 or the error number. Where the file system takes no flags to
// rename (NFS, SMB and FUSE clients give EINVAL), `to` is first made as an empty folder
// of this process's own, so that nothing put there meanwhile is replaced.
int RenameFolderToNewName(int dirFd, const char* from, const char* to);
// The same without rename's flags, as RenameFolderToNewName does where they are refused.
int RenameFolderToNewNameWithoutFlags(int dirFd, const char* from, const char* to);

// ".aster-" and exactly six characters of mkdtemp's alphabet.
bool IsScratchFolderName(std::string_view name);

// Removes the scratch folder `name` in the folder `dirFd`, with everything in it and never
// through a link, when the run that made it has ended (no lock on it) and neither it nor
// anything directly in it has changed for a minute. A folder of such a name without the
// mode a run gives its own (0700 with the sticky bit) is a user's and stays. Stops,
// leaving the rest for a later run, where `keepGoing` says so: a killed run's catalogue
// may hold many thousand files on a slow disk.
void RemoveStaleScratchFolder(int dirFd, const char* name,
                              const std::function<bool()>& keepGoing = {});

// Removes what killed runs left in `folder`: stale scratch files and scratch folders.
void RemoveStaleScratch(const std::string& folder, const std::function<bool()>& keepGoing = {});

} // namespace aster
