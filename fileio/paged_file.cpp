#include "fileio/paged_file.h"

#include "fileio/unnamed_file.h"
#include "fileio/whole_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

namespace aster {

std::optional<Error> PagedFile::open(const std::string& folder, const std::string& shownAs) {
    m_shownAs = shownAs;
    // The bytes are filled when a page is first used, not zeroed here.
    m_pages = std::make_unique_for_overwrite<Page[]>(kPages);
    if (const std::optional<Error> error = OpenUnnamedFile(folder, m_file))
        m_error = SystemError(error->code, shownAs);
    return m_error;
}

void PagedFile::fail(int err) {
    if (!m_error)
        m_error = SystemError(err, m_shownAs);
}

PagedFile::Page& PagedFile::page(std::uint64_t number) {
    Page& kept = m_pages[number % kPages];
    if (kept.number == number)
        return kept;
    if (kept.dirty && !m_error) {
        const auto offset = static_cast<off_t>(kept.number * kPageBytes);
        if (const int err = WriteAllAt(m_file.get(), {kept.bytes, kPageBytes}, offset))
            fail(err);
    }
    kept.number = number;
    kept.dirty = false;
    std::size_t got = 0;
    if (!m_error) {
        if (const int err = ReadAt(m_file.get(), kept.bytes, kPageBytes,
                                   static_cast<off_t>(number * kPageBytes), got))
            fail(err);
    }
    // Past the end of what was written the file reads as zeros, as a new page is.
    std::fill(kept.bytes + (m_error ? 0 : got), kept.bytes + kPageBytes, '\0');
    return kept;
}

void PagedFile::read(std::uint64_t at, void* to, std::size_t size) {
    auto* out = static_cast<char*>(to);
    while (size > 0) {
        Page& kept = page(at / kPageBytes);
        const std::size_t in = at % kPageBytes;
        const std::size_t part = std::min(size, kPageBytes - in);
        std::memcpy(out, kept.bytes + in, part);
        out += part;
        at += part;
        size -= part;
    }
}

void PagedFile::write(std::uint64_t at, const void* from, std::size_t size) {
    const auto* in = static_cast<const char*>(from);
    while (size > 0) {
        Page& kept = page(at / kPageBytes);
        const std::size_t place = at % kPageBytes;
        const std::size_t part = std::min(size, kPageBytes - place);
        std::memcpy(kept.bytes + place, in, part);
        kept.dirty = true;
        in += part;
        at += part;
        size -= part;
    }
}

} // namespace aster
