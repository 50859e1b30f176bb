#pragma once

#include "fileio/error.h"

#include <cstdint>
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
};

// Names kept end to end in one buffer: a folder of 100,000 entries costs two allocations,
// not 100,000.
class NameList {
  public:
    void add(std::string_view name);
    // Byte order: the same on every machine and file system, and scene names, which begin
    // with their date and time, sort by acquisition.
    void sort();
    std::size_t size() const { return m_spans.size(); }
    std::string_view operator[](std::size_t index) const;

  private:
    void sortFrom(std::size_t begin, std::size_t end, std::size_t depth);

    struct Span {
        std::uint64_t key; // eight bytes of the name at the depth being sorted
        std::size_t offset;
        std::size_t length;
    };
    std::string m_bytes;
    std::vector<Span> m_spans;
};

// Whether the NUL-ended `name` matches one of the shell patterns as `find -name` matches:
// fnmatch(3) in the program's locale, where `*`, `?` and brackets match a leading dot too.
bool MatchesAnyPattern(const char* name, const std::vector<std::string>& patterns);

// Writes filelist.txt into the chosen folder: one name per line, each ended by CR LF.
// The folder is read completely before the list is created, so an earlier list is
// listed and a new one never is.
std::optional<Error> ListTheFiles(ListingHost& host);

} // namespace aster
