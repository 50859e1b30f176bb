#include "folder_listing.h"

#include "folder.h"
#include "output_file.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>

namespace aster {

namespace {

class DirHandle {
  public:
    explicit DirHandle(DIR* dir) : m_dir(dir) {}
    DirHandle(const DirHandle&) = delete;
    DirHandle& operator=(const DirHandle&) = delete;
    ~DirHandle() {
        if (m_dir != nullptr)
            ::closedir(m_dir);
    }
    DIR* get() const { return m_dir; }

  private:
    DIR* m_dir;
};

bool IsListedType(unsigned char type) {
    return type == DT_REG || type == DT_DIR || type == DT_LNK;
}

unsigned char TypeFromMode(mode_t mode) {
    if (S_ISREG(mode))
        return DT_REG;
    if (S_ISDIR(mode))
        return DT_DIR;
    if (S_ISLNK(mode))
        return DT_LNK;
    return DT_UNKNOWN;
}

} // namespace

std::optional<Error> ReadFolderEntries(const std::string& folderPrefix,
                                       std::vector<std::string>& names) {
    names.clear();
    const DirHandle dir(::opendir(folderPrefix.c_str()));
    if (dir.get() == nullptr)
        return SystemError(errno, folderPrefix);
    const int dirFd = ::dirfd(dir.get());
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir.get());
        if (entry == nullptr) {
            if (errno != 0)
                return SystemError(errno, folderPrefix);
            break;
        }
        const std::string_view name = entry->d_name;
        // Hidden names start with a dot; so do "." and "..".
        if (name.empty() || name.front() == '.')
            continue;
        // The build run reads the list line by line: such a name would stand for others.
        if (name.find_first_of("\r\n") != name.npos)
            continue;
        unsigned char type = entry->d_type;
        if (type == DT_UNKNOWN) {
            struct stat info {};
            if (::fstatat(dirFd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0)
                continue; // gone since the directory was read
            type = TypeFromMode(info.st_mode);
        }
        if (IsListedType(type))
            names.emplace_back(name);
    }
    std::sort(names.begin(), names.end());
    return std::nullopt;
}

std::optional<Error> ListTheFiles(ListingHost& host) {
    const std::string prefix = FolderPrefix(host.folderPath());
    std::vector<std::string> names;
    if (auto error = ReadFolderEntries(prefix, names))
        return error;
    OutputFile list;
    if (auto error = list.create(prefix + "filelist.txt"))
        return error;
    std::ostream& out = list.stream();
    for (const std::string& name : names) {
        out.write(name.data(), static_cast<std::streamsize>(name.size()));
        out.write("\r\n", 2);
    }
    return list.close();
}

} // namespace aster
