#pragma once

#include "error.h"

#include <optional>
#include <string>
#include <vector>

namespace aster {

// Reads filelist.txt line by line in fixed-size chunks. A carriage return ends a line
// and takes one line feed directly after it along; a line feed on its own belongs to
// the line; a last line without a carriage return runs to the end of the file.
class ListReader {
  public:
    // The chunk size matters only to tests, which make it tiny to put line ends at
    // chunk boundaries.
    explicit ListReader(std::size_t chunkSize = 1 << 16) : m_chunkSize(chunkSize) {}
    ListReader(const ListReader&) = delete;
    ListReader& operator=(const ListReader&) = delete;
    ~ListReader();

    std::optional<Error> open(const std::string& path);
    // True at the end of the file, and after a read error (see error()).
    bool atEnd();
    // The next line, without its line end.
    void readLine(std::string& line);
    const std::optional<Error>& error() const { return m_error; }
    void close();

  private:
    bool fill();

    std::size_t m_chunkSize;
    std::string m_path;
    int m_fd = -1;
    std::vector<char> m_buffer;
    std::size_t m_pos = 0;
    std::size_t m_len = 0;
    bool m_eof = false;
    std::optional<Error> m_error;
};

} // namespace aster
