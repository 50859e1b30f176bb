#include "folder_listing.h"

#include "folder.h"
#include "replacement_file.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <new>
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

void NameList::add(std::string_view name) {
    m_spans.push_back(Span{0, m_bytes.size(), name.size()});
    m_bytes += name;
}

void NameList::sortFrom(std::size_t begin, std::size_t end, std::size_t depth) {
    for (std::size_t i = begin; i < end; ++i) {
        Span& span = m_spans[i];
        std::uint64_t key = 0;
        for (std::size_t at = depth; at < depth + 8; ++at) {
            const unsigned byte =
                at < span.length ? static_cast<unsigned char>(m_bytes[span.offset + at]) : 0u;
            key = (key << 8) | byte;
        }
        span.key = key;
    }
    std::sort(m_spans.begin() + static_cast<std::ptrdiff_t>(begin),
              m_spans.begin() + static_cast<std::ptrdiff_t>(end),
              [](const Span& a, const Span& b) { return a.key < b.key; });
    // Names that agree on these eight bytes and go on past them are ordered by the next eight.
    for (std::size_t run = begin; run < end;) {
        std::size_t next = run + 1;
        while (next < end && m_spans[next].key == m_spans[run].key)
            ++next;
        if (next - run > 1 && (m_spans[run].key & 0xff) != 0)
            sortFrom(run, next, depth + 8);
        run = next;
    }
}

// Eight bytes at a time as one number: scene names share long prefixes ("AST_L1B_003..."),
// on which comparing whole names costs most of a listing. Names hold no NUL byte, so a
// name padded with zeros still sorts before its extensions.
void NameList::sort() {
    sortFrom(0, m_spans.size(), 0);
}

std::string_view NameList::operator[](std::size_t index) const {
    const Span& span = m_spans[index];
    return std::string_view(m_bytes).substr(span.offset, span.length);
}

std::optional<Error> ReadFolderEntries(const std::string& folderPrefix, NameList& names) {
    const DirHandle dir(::opendir(folderPrefix.c_str()));
    if (dir.get() == nullptr) {
        Error error = SystemError(errno, folderPrefix);
        if (error.code == ENOENT || error.code == ENOTDIR)
            error.hint = "The folder is no longer there: choose another folder.";
        return error;
    }
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
        if (std::any_of(name.begin(), name.end(), [](char c) { return c == '\r' || c == '\n'; }))
            continue;
        unsigned char type = entry->d_type;
        if (type == DT_UNKNOWN) {
            struct stat info {};
            if (::fstatat(dirFd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0)
                continue; // gone since the directory was read
            type = TypeFromMode(info.st_mode);
        }
        if (IsListedType(type))
            names.add(name);
    }
    names.sort();
    return std::nullopt;
}

namespace {

std::optional<Error> WriteList(const std::string& prefix) {
    NameList names;
    if (auto error = ReadFolderEntries(prefix, names))
        return error;
    // Written aside and renamed over the earlier list, so a run reading the list meanwhile
    // sees the whole earlier list or the whole new one.
    ReplacementFile list;
    if (auto error = list.create(prefix, "filelist.txt"))
        return error;
    std::ostream& out = list.stream();
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string_view name = names[i];
        out.write(name.data(), static_cast<std::streamsize>(name.size()));
        out.write("\r\n", 2);
    }
    if (auto error = list.check())
        return error;
    return PublishTogether({&list});
}

} // namespace

std::optional<Error> ListTheFiles(ListingHost& host) {
    const std::string prefix = FolderPrefix(host.folderPath());
    try {
        return WriteList(prefix);
    } catch (const std::bad_alloc&) {
        return Error{ENOMEM, "Not enough memory to list " + prefix,
                     "Close other programs and try again."};
    }
}

} // namespace aster
