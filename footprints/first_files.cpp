#include "footprints/first_files.h"

#include "fileio/unnamed_file.h"
#include "fileio/whole_file.h"

#include <cerrno>
#include <cstring>
#include <functional>
#include <unistd.h>

namespace aster {

namespace {

constexpr std::size_t kBuffered = 64 * 1024;
constexpr std::size_t kHeader = 8; // the two texts' sizes, four bytes each

constexpr int kPlaceBits = 40; // a terabyte of texts
constexpr std::uint64_t kPlaceMask = (std::uint64_t{1} << kPlaceBits) - 1;

std::uint64_t HashOf(std::string_view granule) {
    return std::hash<std::string_view>{}(granule);
}
std::uint64_t TagOf(std::uint64_t hash) {
    return hash >> kPlaceBits << kPlaceBits;
}
// A granule's first slot to try, from its tag alone: a table that grows places each
// granule again from what its slot keeps.
std::size_t HomeOf(std::uint64_t tagged, std::size_t slots) {
    return static_cast<std::size_t>(((tagged >> kPlaceBits) * slots) >> (64 - kPlaceBits));
}

void PutSize(std::string& to, std::size_t size) {
    const auto value = static_cast<std::uint32_t>(size);
    to.append(reinterpret_cast<const char*>(&value), sizeof value);
}

std::uint32_t SizeAt(const char* at) {
    std::uint32_t value = 0;
    std::memcpy(&value, at, sizeof value);
    return value;
}

} // namespace

std::optional<Error> FirstFiles::open(const std::string& folder) {
    m_folder = folder;
    return OpenUnnamedFile(folder, m_file);
}

std::optional<Error> FirstFiles::add(std::string_view granule, std::string_view path,
                                     std::optional<std::string>& first) {
    first.reset();
    if ((m_used + 1) * 4 > m_slots.size() * 3)
        grow();
    const std::uint64_t hash = HashOf(granule);
    const std::size_t mask = m_slots.size() - 1;
    std::size_t i = HomeOf(hash, m_slots.size());
    for (; m_slots[i] != 0; i = (i + 1) & mask) {
        if (TagOf(m_slots[i]) != TagOf(hash))
            continue;
        std::string keptGranule, keptPath;
        if (auto error = textsAt((m_slots[i] & kPlaceMask) - 1, keptGranule, keptPath))
            return error;
        if (keptGranule == granule) {
            first = std::move(keptPath);
            return std::nullopt;
        }
    }
    if (m_size + 1 > kPlaceMask)
        return SystemError(EFBIG, m_folder);
    m_slots[i] = TagOf(hash) | (m_size + 1);
    ++m_used;
    PutSize(m_buffer, granule.size());
    PutSize(m_buffer, path.size());
    m_buffer.append(granule).append(path);
    m_size += kHeader + granule.size() + path.size();
    return m_buffer.size() >= kBuffered ? flush() : std::nullopt;
}

void FirstFiles::grow() {
    std::vector<std::uint64_t> slots(std::max<std::size_t>(64, m_slots.size() * 2));
    const std::size_t mask = slots.size() - 1;
    for (const std::uint64_t slot : m_slots) {
        if (slot == 0)
            continue;
        std::size_t i = HomeOf(slot, slots.size());
        while (slots[i] != 0)
            i = (i + 1) & mask;
        slots[i] = slot;
    }
    m_slots = std::move(slots);
}

std::optional<Error> FirstFiles::textsAt(std::uint64_t at, std::string& granule,
                                         std::string& path) {
    // A repeated granule is rare: what is buffered is written first, then read back.
    if (auto error = flush())
        return error;
    char header[kHeader];
    std::size_t got = 0;
    if (const int err = ReadAt(m_file.get(), header, kHeader, static_cast<off_t>(at), got))
        return SystemError(err, m_folder);
    if (got != kHeader)
        return SystemError(EIO, m_folder);
    std::string texts(SizeAt(header) + SizeAt(header + 4), '\0');
    if (const int err =
            ReadAt(m_file.get(), texts.data(), texts.size(), static_cast<off_t>(at + kHeader), got))
        return SystemError(err, m_folder);
    if (got != texts.size())
        return SystemError(EIO, m_folder);
    granule = texts.substr(0, SizeAt(header));
    path = texts.substr(SizeAt(header));
    return std::nullopt;
}

std::optional<Error> FirstFiles::flush() {
    if (const int err = WriteAll(m_file.get(), m_buffer))
        return SystemError(err, m_folder);
    m_buffer.clear();
    return std::nullopt;
}

} // namespace aster
