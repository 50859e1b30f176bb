#pragma once

#include "fileio/error.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace aster {

// What the listing reads from its front end: the chosen folder, once, at the start.
class ListingHost {
  public:
    virtual ~ListingHost() = default;
    virtual std::string folderPath() = 0;
    // Now and then while the folder is read: how many entries have been read so far.
    virtual void progress(std::int64_t /*entriesRead*/) {}
    // True stops the listing before filelist.txt is touched.
    virtual bool cancelRequested() { return false; }
    // Shell patterns on names, once, at the start: when there are any, only names that
    // match one of them are listed.
    virtual std::vector<std::string> namePatterns() { return {}; }
    // Once, at the start: true lists the files in the subfolders too, as paths from the
    // chosen folder ("2004/AST_L1T.hdf.xml"), rather than the folder's own names.
    virtual bool recursive() { return false; }
    // Once, at the start: where the list is written; empty for filelist.txt in the chosen
    // folder. Only a list written into the chosen folder removes killed runs' scratch
    // files there, so that a folder listed from elsewhere is left as it was.
    virtual std::string listPath() { return {}; }
    // A subfolder the recursive listing could not read, and why, in a few words; the
    // listing goes on without it.
    virtual void folderSkipped(std::string_view /*path*/, std::string_view /*reason*/) {}
    // An entry the listing leaves out although it would be listed, named by its full path,
    // and why (kUnlistableName); the listing goes on without it.
    virtual void nameSkipped(std::string_view /*path*/, std::string_view /*reason*/) {}
};

// Names kept end to end in blocks of a mebibyte: a folder of 100,000 entries costs a few
// allocations, not 100,000, and no name is copied again as the list grows, which on a
// large tree had cost more than reading its folders.
class NameList {
  public:
    void add(std::string_view name) { add({}, name); }
    // Adds `prefix` and `name` as one name, without a string of its own in between.
    void add(std::string_view prefix, std::string_view name);
    // Byte order: the same on every machine and file system, and scene names, which begin
    // with their date and time, sort by acquisition.
    void sort();
    std::size_t size() const { return m_spans.size(); }
    std::string_view operator[](std::size_t index) const {
        return {m_spans[index].bytes, m_spans[index].length};
    }

  private:
    void sortFrom(std::size_t begin, std::size_t end, std::size_t depth);
    char* room(std::size_t bytes);

    struct Span {
        std::uint64_t key; // eight bytes of the name at the depth being sorted
        const char* bytes;
        std::size_t length;
    };
    std::vector<std::unique_ptr<char[]>> m_blocks;
    char* m_next = nullptr;      // where the next name goes, in the last block
    std::size_t m_blockLeft = 0; // room left there
    std::vector<Span> m_spans;
};

// Told of an entry left out for its name: its full path, and why.
using UnlistedName = std::function<void(std::string_view path, std::string_view reason)>;
inline constexpr std::string_view kUnlistableName =
    "its name holds a line break, which no line of a list can hold";

// Whether a name holds a line break: the runs read the list line by line, so such a name
// would stand for others and is never listed.
constexpr bool HoldsLineBreak(std::string_view name) {
    // A loop rather than find_first_of, which looks each byte up in the set with a call.
    return std::any_of(name.begin(), name.end(), [](char c) { return c == '\r' || c == '\n'; });
}

// Whether the NUL-ended `name` matches one of the shell patterns as `find -name` matches:
// fnmatch(3) in the program's locale, where `*`, `?` and brackets match a leading dot too.
bool MatchesAnyPattern(const char* name, const std::vector<std::string>& patterns);

// The names ListTheFiles writes, in its order, read into `names` in memory: the chosen
// folder's names, or with recursive() the paths of the files in its tree. Nothing is
// written or removed, so a run may list a read-only archive for itself.
std::optional<Error> ReadListing(ListingHost& host, NameList& names);

// Writes the list (filelist.txt in the chosen folder, or listPath()): one name per line,
// each ended by CR LF. The folder is read completely before the list is created, so an
// earlier list is listed and a new one never is.
std::optional<Error> ListTheFiles(ListingHost& host);

} // namespace aster
