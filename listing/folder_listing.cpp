#include "listing/folder_listing.h"

#include "fileio/directory.h"
#include "fileio/folder.h"
#include "fileio/output_place.h"
#include "fileio/replacement_file.h"
#include "fileio/scratch_folder.h"
#include "listing/tree_listing.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <fnmatch.h>
#include <new>
#include <string_view>
#include <sys/stat.h>

namespace aster {

namespace {

constexpr std::size_t kNameBlockBytes = std::size_t{1} << 20;

} // namespace

char* NameList::room(std::size_t bytes) {
    if (bytes > m_blockLeft) {
        const std::size_t size = std::max(bytes, kNameBlockBytes);
        m_blocks.push_back(std::make_unique_for_overwrite<char[]>(size));
        m_blockLeft = size;
        m_next = m_blocks.back().get();
    }
    char* at = m_next;
    m_next += bytes;
    m_blockLeft -= bytes;
    return at;
}

void NameList::add(std::string_view prefix, std::string_view name) {
    char* const at = room(prefix.size() + name.size());
    std::copy(prefix.begin(), prefix.end(), at);
    std::copy(name.begin(), name.end(), at + prefix.size());
    m_spans.push_back(Span{0, at, prefix.size() + name.size()});
}

void NameList::sortFrom(std::size_t begin, std::size_t end, std::size_t depth) {
    for (std::size_t i = begin; i < end; ++i) {
        Span& span = m_spans[i];
        std::uint64_t key = 0;
        for (std::size_t at = depth; at < depth + 8; ++at) {
            const unsigned byte =
                at < span.length ? static_cast<unsigned char>(span.bytes[at]) : 0u;
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

namespace {

// The names that go into the flat list: files, folders and symbolic links. Hidden names,
// ".", "..", FIFOs, sockets, devices and names holding a line break are left out; the
// tool's own scratch files go to `scratchNames`.
std::optional<Error> ReadFolderEntries(const std::string& folderPrefix,
                                       const std::vector<std::string>& patterns,
                                       const KeepReading& keepReading, NameList& names,
                                       std::vector<std::string>& scratchNames,
                                       const UnlistedName& unlisted) {
    const auto visit = [&](const DirectoryEntry& entry) {
        const std::string_view name = entry.name();
        // Hidden names start with a dot.
        if (name.front() == '.') {
            if (IsScratchName(name) || IsScratchFolderName(name))
                scratchNames.emplace_back(name);
            return;
        }
        // The entry's name ends in the directory entry's NUL.
        if (!patterns.empty() && !MatchesAnyPattern(name.data(), patterns))
            return;
        if (entry.kind() == EntryKind::Other)
            return;
        if (HoldsLineBreak(name))
            unlisted(folderPrefix + std::string(name), kUnlistableName);
        else
            names.add(name);
    };
    return ReadDirectory(folderPrefix, visit, keepReading);
}

// The names of the list, sorted by their bytes: the folder's own, or with the host's
// recursive() the paths of the files in its tree. Reports the entries read now and then
// and stops, with a cancellation error, when the host asks to.
std::optional<Error> ReadEntries(const std::string& folderPrefix, ListingHost& host,
                                 NameList& names, std::vector<std::string>& scratchNames,
                                 std::int64_t& entriesRead) {
    const KeepReading keepReading = [&host, &entriesRead](std::int64_t read) {
        entriesRead = read;
        host.progress(read);
        return !host.cancelRequested();
    };
    const bool recursive = host.recursive();
    std::vector<std::string> patterns = host.namePatterns();
    const UnlistedName unlisted = [&host](std::string_view path, std::string_view reason) {
        host.nameSkipped(path, reason);
    };
    std::optional<Error> error;
    if (recursive) {
        TreeWalk walk{std::move(patterns), keepReading,
                      [&host](std::string_view path, std::string_view reason) {
                          host.folderSkipped(path, reason);
                      },
                      &scratchNames, unlisted};
        error = ReadTree(folderPrefix, walk, names, entriesRead);
    } else {
        error =
            ReadFolderEntries(folderPrefix, patterns, keepReading, names, scratchNames, unlisted);
    }
    if (error) {
        if (IsCancellation(*error))
            error->description += " Nothing was changed.";
        if (error->code == ENOENT || error->code == ENOTDIR)
            error->kind = ErrorKind::FolderGone;
        return error;
    }
    names.sort();
    return std::nullopt;
}

// Scratch files and folders left by a run that was killed are found by the listing at
// no extra cost, since it reads the whole folder anyway.
void RemoveStaleScratchNames(const std::string& prefix, const std::vector<std::string>& names) {
    if (names.empty())
        return;
    const UniqueFd folder(::open(prefix.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (const std::string& name : names) {
        if (IsScratchFolderName(name))
            RemoveStaleScratchFolder(folder.get(), name.c_str());
        else
            RemoveStaleScratchFile(folder.get(), name.c_str());
    }
}

// Starts the list file: filelist.txt in the folder, or the host's own path.
std::optional<Error> CreateList(const std::string& prefix, const std::string& listPath,
                                ReplacementFile& list) {
    if (listPath.empty())
        return list.create(prefix, "filelist.txt");
    const std::size_t slash = listPath.rfind('/');
    const std::string folder = slash == std::string::npos ? "./" : listPath.substr(0, slash + 1);
    const std::string name = listPath.substr(slash + 1); // npos + 1 is 0: the whole path
    if (name.empty() || name == "." || name == "..")
        return SystemError(EISDIR, listPath);
    return list.create(folder, name);
}

// A search of a tree or by patterns that finds nothing seldom means an empty list (a
// share not mounted, a pattern in the wrong case), so an earlier list, which may have
// been made by other patterns, is kept rather than emptied.
std::optional<Error> KeepEarlierList(const std::string& prefix, const std::string& listPath,
                                     bool noPatterns) {
    const std::string path = listPath.empty() ? prefix + "filelist.txt" : listPath;
    struct stat earlier {};
    if (::stat(path.c_str(), &earlier) != 0 || !S_ISREG(earlier.st_mode) || earlier.st_size == 0)
        return std::nullopt;
    const std::string folder(FolderOfPrefix(prefix));
    return Error{ENODATA,
                 (noPatterns ? "No file was found in " + folder
                             : "No name in " + folder + " matched the patterns") +
                     ", so the earlier " + path + " was kept as it is",
                 "", ErrorKind::Other};
}

std::optional<Error> WriteList(const std::string& prefix, ListingHost& host) {
    const std::string listPath = host.listPath();
    // A list named by the user may name a device, or a link to one, which no list
    // replaces: said before the folder is read rather than after.
    if (!listPath.empty())
        if (auto error = CheckOutputPlace(listPath, listPath))
            return error;
    // Written aside and renamed over the earlier list, so a run reading the list meanwhile
    // sees the whole earlier list or the whole new one. Begun before the folder is read, so
    // that a read-only drive is told at once, not after a slow share's every name; any
    // other failure is told after the folder's own (a folder that is not there).
    ReplacementFile list;
    std::optional<Error> notCreated = CreateList(prefix, listPath, list);
    if (notCreated && notCreated->kind == ErrorKind::ReadOnly)
        return notCreated;
    NameList names;
    std::vector<std::string> scratchNames;
    std::int64_t entriesRead = 0;
    if (auto error = ReadEntries(prefix, host, names, scratchNames, entriesRead))
        return error;
    // A folder listed from elsewhere, such as a read-only archive, is left as it was.
    if (listPath.empty())
        RemoveStaleScratchNames(prefix, scratchNames);
    const bool noPatterns = host.namePatterns().empty();
    if (names.size() == 0 && (host.recursive() || !noPatterns))
        if (auto error = KeepEarlierList(prefix, listPath, noPatterns))
            return error;
    if (notCreated)
        return notCreated;
    std::ostream& out = list.stream();
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string_view name = names[i];
        out.write(name.data(), static_cast<std::streamsize>(name.size()));
        out.write("\r\n", 2);
    }
    if (auto error = list.check())
        return error;
    // A stop asked for after the folder was read still changes nothing.
    if (host.cancelRequested())
        return Cancelled("Stopped after reading " + std::to_string(entriesRead) +
                         " entries. Nothing was changed.");
    return PublishTogether({&list});
}

Error OutOfMemory(const std::string& prefix) {
    return Error{ENOMEM, "Not enough memory to list " + prefix,
                 "Close other programs and try again.", ErrorKind::NoMemory};
}

} // namespace

bool MatchesAnyPattern(const char* name, const std::vector<std::string>& patterns) {
    // No flags, as find -name: a wildcard matches a leading dot, and a name holds no '/'.
    return std::any_of(patterns.begin(), patterns.end(), [name](const std::string& pattern) {
        return ::fnmatch(pattern.c_str(), name, 0) == 0;
    });
}

std::optional<Error> ReadListing(ListingHost& host, NameList& names) {
    const std::string prefix = FolderPrefix(host.folderPath());
    try {
        std::vector<std::string> scratchNames;
        std::int64_t entriesRead = 0;
        return ReadEntries(prefix, host, names, scratchNames, entriesRead);
    } catch (const std::bad_alloc&) {
        return OutOfMemory(prefix);
    }
}

std::optional<Error> ListTheFiles(ListingHost& host) {
    const std::string prefix = FolderPrefix(host.folderPath());
    try {
        return WriteList(prefix, host);
    } catch (const std::bad_alloc&) {
        return OutOfMemory(prefix);
    }
}

} // namespace aster
