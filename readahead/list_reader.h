#pragma once

#include "fileio/error.h"
#include "fileio/unique_fd.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace aster {

// Sets the kind of a failed open of filelist.txt, for every procedure that reads the list:
// what to do depends on whether the folder itself is still there.
void ExplainMissingList(Error& error, const std::string& folderPrefix);

// Which list a run reads, and how its lines end.
struct ListOptions {
    std::string path;          // empty: filelist.txt in the scene folder
    bool lineFeedEnds = false; // a line feed alone ends a line too, as `find` writes them
};

// The list a run reads: `givenList`, or filelist.txt in the folder when none is given.
inline std::string ListPath(const std::string& folderPrefix, const std::string& givenList) {
    return givenList.empty() ? folderPrefix + "filelist.txt" : givenList;
}

// Reads filelist.txt line by line in fixed-size chunks. A carriage return ends a line
// and takes one line feed directly after it along; a line feed on its own belongs to
// the line, unless lineFeedEnds makes it a line end too; a last line without a line end
// runs to the end of the file.
class ListReader {
  public:
    // A line names one file in the folder, and no path the system accepts is longer than
    // 4 KiB; a longer line is no file name but a damaged or foreign list, so a run stops
    // there instead of holding gigabytes of "name" in memory.
    static constexpr std::size_t kMaxLineBytes = 64 * 1024;

    // The chunk size matters only to tests, which make it tiny to put line ends at
    // chunk boundaries.
    explicit ListReader(std::size_t chunkSize = 1 << 16, bool lineFeedEnds = false)
        : m_chunkSize(chunkSize), m_lineFeedEnds(lineFeedEnds) {}
    ListReader(const ListReader&) = delete;
    ListReader& operator=(const ListReader&) = delete;
    ListReader(ListReader&&) = default;
    ListReader& operator=(ListReader&&) = default;
    ~ListReader();

    std::optional<Error> open(const std::string& path);
    // True at the end of the file, and after a read error (see error()).
    bool atEnd();
    // The next line, without its line end. A line over kMaxLineBytes is an error.
    void readLine(std::string& line);
    // The number of lines the file holds, counted without moving the read position. A
    // line over kMaxLineBytes ends the count, and so does a read error.
    std::int64_t countLines() const;
    const std::optional<Error>& error() const { return m_error; }
    void close();

  private:
    bool fill();
    const char* lineEnd(const char* start, std::size_t size) const;

    std::size_t m_chunkSize;
    bool m_lineFeedEnds;
    std::string m_path;
    UniqueFd m_fd;
    std::vector<char> m_buffer;
    std::size_t m_pos = 0;
    std::size_t m_len = 0;
    bool m_eof = false;
    std::int64_t m_lineNumber = 0;
    std::optional<Error> m_error;
};

} // namespace aster
