#include "fileio/file_attributes.h"

#include "fileio/unique_fd.h"

#include <acl/libacl.h>
#include <cerrno>
#include <fcntl.h>
#include <string_view>
#include <sys/acl.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace aster {

namespace {

// The kernel's bounds on one attribute value and on the list of names.
constexpr std::size_t kMaxAttributeBytes = 64 * 1024;

// Names worth handing on: the user's own, and the trusted ones where root reads them. The
// access list goes through libacl; security labels are the system's to set.
bool IsHandedOn(std::string_view name) {
    return name.starts_with("user.") || name.starts_with("trusted.");
}

// The earlier file, read without opening it for reading where /proc allows: through
// /proc/self/fd of an O_PATH descriptor, which names that very file and needs no read
// access. Without /proc, through a descriptor opened for reading.
class EarlierFile {
  public:
    EarlierFile(int pathFd, int dirFd, const char* name, const struct stat& info)
        : m_proc("/proc/self/fd/" + std::to_string(pathFd)) {
        if (::access(m_proc.c_str(), F_OK) == 0)
            return;
        m_fd.reset(
            ::openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        struct stat now {};
        if (m_fd && (::fstat(m_fd.get(), &now) != 0 || now.st_ino != info.st_ino ||
                     now.st_dev != info.st_dev))
            m_fd.reset();
    }

    acl_t acl() const {
        return m_fd ? ::acl_get_fd(m_fd.get()) : ::acl_get_file(m_proc.c_str(), ACL_TYPE_ACCESS);
    }
    // A folder's default access list, which what is made in it inherits: read by path
    // alone, so only through /proc.
    acl_t defaultAcl() const {
        return m_fd ? nullptr : ::acl_get_file(m_proc.c_str(), ACL_TYPE_DEFAULT);
    }
    ssize_t list(char* names, std::size_t size) const {
        return m_fd ? ::flistxattr(m_fd.get(), names, size)
                    : ::listxattr(m_proc.c_str(), names, size);
    }
    ssize_t get(const char* name, void* value, std::size_t size) const {
        return m_fd ? ::fgetxattr(m_fd.get(), name, value, size)
                    : ::getxattr(m_proc.c_str(), name, value, size);
    }

  private:
    std::string m_proc;
    UniqueFd m_fd;
};

// Asks for the size first, then reads; a value that grew meanwhile is asked for again.
template <typename Read> std::optional<std::string> ReadSized(const Read& read) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        const ssize_t size = read(nullptr, 0);
        if (size < 0 || static_cast<std::size_t>(size) > kMaxAttributeBytes)
            return std::nullopt;
        std::string bytes(static_cast<std::size_t>(size), '\0');
        const ssize_t got = read(bytes.data(), bytes.size());
        if (got >= 0) {
            bytes.resize(static_cast<std::size_t>(got));
            return bytes;
        }
        if (errno != ERANGE)
            return std::nullopt;
    }
    return std::nullopt;
}

// The permissions the access list gives the owning group, as group bits of a mode.
mode_t OwningGroupBits(acl_t acl) {
    acl_entry_t entry = nullptr;
    for (int which = ACL_FIRST_ENTRY; ::acl_get_entry(acl, which, &entry) == 1;
         which = ACL_NEXT_ENTRY) {
        acl_tag_t tag = ACL_UNDEFINED_TAG;
        acl_permset_t permissions = nullptr;
        if (::acl_get_tag_type(entry, &tag) != 0 || tag != ACL_GROUP_OBJ ||
            ::acl_get_permset(entry, &permissions) != 0)
            continue;
        return (::acl_get_perm(permissions, ACL_READ) == 1 ? S_IRGRP : 0) |
               (::acl_get_perm(permissions, ACL_WRITE) == 1 ? S_IWGRP : 0) |
               (::acl_get_perm(permissions, ACL_EXECUTE) == 1 ? S_IXGRP : 0);
    }
    return 0;
}

} // namespace

void FileAttributes::AclFree::operator()(void* acl) const {
    ::acl_free(acl);
}

std::optional<FileAttributes> FileAttributes::read(int dirFd, const char* name) {
    return readAt(dirFd, name, false);
}

std::optional<FileAttributes> FileAttributes::readFolder(int dirFd, const char* name) {
    return readAt(dirFd, name, true);
}

std::optional<FileAttributes> FileAttributes::readAt(int dirFd, const char* name, bool folder) {
    const UniqueFd at(::openat(dirFd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!at)
        return std::nullopt;
    FileAttributes attributes;
    if (::fstat(at.get(), &attributes.m_info) != 0 ||
        !(folder ? S_ISDIR(attributes.m_info.st_mode) : S_ISREG(attributes.m_info.st_mode)))
        return std::nullopt;
    const EarlierFile earlier(at.get(), dirFd, name, attributes.m_info);
    if (folder) {
        acl_t defaults = earlier.defaultAcl();
        if (defaults != nullptr && ::acl_entries(defaults) > 0)
            attributes.m_defaultAcl.reset(defaults);
        else if (defaults != nullptr)
            ::acl_free(defaults);
    }

    if (acl_t acl = earlier.acl()) {
        attributes.m_acl.reset(acl);
        attributes.m_groupLimit = OwningGroupBits(acl);
    } else if (errno == ENOTSUP) {
        attributes.m_groupLimit = S_IRWXG; // no access lists here: the mode says it all
    } else {
        attributes.m_groupLimit = 0; // a list may widen the group bits, and it is unknown
    }

    const std::optional<std::string> names =
        ReadSized([&](char* buffer, std::size_t size) { return earlier.list(buffer, size); });
    if (!names)
        return attributes;
    for (std::size_t at = 0; at < names->size();) {
        const std::size_t end = names->find('\0', at);
        const std::string attributeName =
            names->substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? names->size() : end + 1;
        if (!IsHandedOn(attributeName))
            continue;
        std::optional<std::string> value = ReadSized([&](char* buffer, std::size_t size) {
            return earlier.get(attributeName.c_str(), buffer, size);
        });
        if (value)
            attributes.m_extended.emplace_back(attributeName, std::move(*value));
    }
    return attributes;
}

void FileAttributes::giveTo(int fd) const {
    // Owner and group first: changing them clears the set-ID bits, which the mode sets.
    // Root gives both; a user may give a group they are a member of.
    if (::fchown(fd, m_info.st_uid, m_info.st_gid) != 0)
        ::fchown(fd, static_cast<uid_t>(-1), m_info.st_gid);
    // Before the mode, which may take away the write access setting them needs.
    for (const auto& [name, value] : m_extended)
        ::fsetxattr(fd, name.c_str(), value.data(), value.size(), 0);
    // The mode's group bits are the list's mask: given after the list, they set the mask
    // it had. Without the list they would give the owning group the mask's access, so they
    // are cut to what the list gave that group.
    const bool aclGiven = m_acl && ::acl_set_fd(fd, static_cast<acl_t>(m_acl.get())) == 0;
    if (m_defaultAcl)
        ::acl_set_file(("/proc/self/fd/" + std::to_string(fd)).c_str(), ACL_TYPE_DEFAULT,
                       static_cast<acl_t>(m_defaultAcl.get()));
    mode_t mode = m_info.st_mode & 07777;
    if (!aclGiven)
        mode = (mode & ~S_IRWXG) | (mode & m_groupLimit);
    ::fchmod(fd, mode);
}

} // namespace aster
