#include "listing/folder_listing.h"

#include "fileio/directory.h"
#include "fileio/folder.h"
#include "fileio/replacement_file.h"
#include "fileio/scratch_folder.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <fnmatch.h>
#include <new>
#include <string_view>

namespace aster {

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

namespace {

// The names that go into the list: files, folders and symbolic links, sorted by their
// bytes. Hidden names, ".", "..", FIFOs, sockets, devices and names holding a line break
// are left out; the tool's own scratch files go to `scratchNames`. Reports the entries
// read now and then and stops, with a cancellation error, when the host asks to.
std::optional<Error> ReadFolderEntries(const std::string& folderPrefix, NameList& names,
                                       ListingHost& host, std::vector<std::string>& scratchNames,
                                       std::int64_t& entriesRead) {
    const KeepReading keepReading = [&host, &entriesRead](std::int64_t read) {
        entriesRead = read;
        host.progress(read);
        return !host.cancelRequested();
    };
    const std::vector<std::string> patterns = host.namePatterns();
    const auto visit = [&names, &scratchNames, &patterns](const DirectoryEntry& entry) {
        const std::string_view name = entry.name();
        // Hidden names start with a dot.
        if (name.front() == '.') {
            if (IsScratchName(name) || IsScratchFolderName(name))
                scratchNames.emplace_back(name);
            return;
        }
        // The build run reads the list line by line: such a name would stand for others.
        if (name.find_first_of("\r\n") != std::string_view::npos)
            return;
        // The entry's name ends in the directory entry's NUL.
        if (!patterns.empty() && !MatchesAnyPattern(name.data(), patterns))
            return;
        if (entry.kind() != EntryKind::Other)
            names.add(name);
    };
    if (std::optional<Error> error = ReadDirectory(folderPrefix, visit, keepReading)) {
        if (IsCancellation(*error))
            error->description += " Nothing was changed.";
        if (error->code == ENOENT || error->code == ENOTDIR)
            error->kind = ErrorKind::FolderGone;
        return error;
    }
    names.sort();
    return std::nullopt;
}

std::optional<Error> WriteList(const std::string& prefix, ListingHost& host) {
    NameList names;
    std::vector<std::string> scratchNames;
    std::int64_t entriesRead = 0;
    if (auto error = ReadFolderEntries(prefix, names, host, scratchNames, entriesRead))
        return error;
    // Scratch files and folders left by a run that was killed are found here at no extra
    // cost, since the listing reads the whole folder anyway.
    if (!scratchNames.empty()) {
        const UniqueFd folder(::open(prefix.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        for (const std::string& name : scratchNames) {
            if (IsScratchFolderName(name))
                RemoveStaleScratchFolder(folder.get(), name.c_str());
            else
                RemoveStaleScratchFile(folder.get(), name.c_str());
        }
    }
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
    // A stop asked for after the folder was read still changes nothing.
    if (host.cancelRequested())
        return Cancelled("Stopped after reading " + std::to_string(entriesRead) +
                         " entries. Nothing was changed.");
    return PublishTogether({&list});
}

} // namespace

bool MatchesAnyPattern(const char* name, const std::vector<std::string>& patterns) {
    // No flags, as find -name: a wildcard matches a leading dot, and a name holds no '/'.
    return std::any_of(patterns.begin(), patterns.end(), [name](const std::string& pattern) {
        return ::fnmatch(pattern.c_str(), name, 0) == 0;
    });
}

std::optional<Error> ListTheFiles(ListingHost& host) {
    const std::string prefix = FolderPrefix(host.folderPath());
    try {
        return WriteList(prefix, host);
    } catch (const std::bad_alloc&) {
        return Error{ENOMEM, "Not enough memory to list " + prefix,
                     "Close other programs and try again.", ErrorKind::NoMemory};
    }
}

} // namespace aster
