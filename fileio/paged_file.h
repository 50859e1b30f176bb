#pragma once

#include "fileio/error.h"
#include "fileio/unique_fd.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace aster {

// An unnamed file that a run keeps what grows with its files in, read and written at any
// place through a few pages of memory: what a run keeps of a million files then costs
// the system's page cache, not the process. The first failure is kept, and every read
// after it gives zeros, so a caller may check error() once before it relies on a result.
class PagedFile {
  public:
    // Opens a new unnamed file in `folder`; its failures name `shownAs`, the output the
    // user knows, not a file that no name reaches.
    std::optional<Error> open(const std::string& folder, const std::string& shownAs);
    void read(std::uint64_t at, void* to, std::size_t size);
    void write(std::uint64_t at, const void* from, std::size_t size);
    const std::optional<Error>& error() const { return m_error; }

  private:
    static constexpr std::size_t kPageBytes = 16 * 1024;
    static constexpr std::size_t kPages = 16; // by the page's number modulo this
    static constexpr std::uint64_t kNoPage = ~std::uint64_t{0};
    struct Page {
        std::uint64_t number = kNoPage;
        bool dirty = false;
        char bytes[kPageBytes];
    };
    // The page of that number in memory, the one it displaces written out first.
    Page& page(std::uint64_t number);
    void fail(int err);

    UniqueFd m_file;
    std::string m_shownAs;
    std::unique_ptr<Page[]> m_pages;
    std::optional<Error> m_error;
};

} // namespace aster
