#pragma once

#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

namespace aster {

// What a file hands on to the file that replaces it, so that a replacement keeps what
// writing in place would have kept: owner and group, mode, access list (ACL) and
// extended attributes.
class FileAttributes {
  public:
    // Those of the regular file `name` in the folder `dirFd`, not following a link; none
    // when no regular file stands there. Nothing is opened for reading or writing, so a
    // device or FIFO at the name is never touched.
    static std::optional<FileAttributes> read(int dirFd, const char* name);
    // The same of the folder `name`, with its default access list, for a folder that
    // replaces it (a static catalogue).
    static std::optional<FileAttributes> readFolder(int dirFd, const char* name);

    // Gives them to the file open as `fd`, as far as this user may, before the file takes
    // the name: root gives owner and group; another user gives the group when a member of
    // it, and always the mode, the access list and the `user.*` attributes (the owner is
    // then the user who runs this). Access is never wider than the earlier file's: where
    // the access list cannot be given, the group gets no more than the list gave it.
    void giveTo(int fd) const;

    mode_t mode() const { return m_info.st_mode; }

  private:
    struct AclFree {
        void operator()(void* acl) const;
    };
    static std::optional<FileAttributes> readAt(int dirFd, const char* name, bool folder);

    struct stat m_info {};
    std::unique_ptr<void, AclFree> m_acl; // acl_t of the access list, when it was read
    std::unique_ptr<void, AclFree> m_defaultAcl; // a folder's default list, when it has one
    mode_t m_groupLimit = 0;              // the group bits the mode may keep without it
    std::vector<std::pair<std::string, std::string>> m_extended;
};

} // namespace aster
