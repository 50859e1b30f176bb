#include "metadata/hdf_texts.h"

#include "metadata/granule_items.h"

#include <array>
#include <charconv>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

// Last: the library's headers define many short macros.
#include <hdf/mfhdf.h>

namespace aster {

bool LooksLikeHdf4(std::string_view head) {
    return head.starts_with(kHdf4Magic);
}

namespace {

// The HDF4 library keeps its open files, error stack and caches in globals of its own and
// takes no lock: threads that call it at once crash it. The lock that guards it is as
// global as the library, hence the one function-local static of the core.
std::mutex& HdfLibraryLock() {
    static std::mutex lock;
    return lock;
}

// An HDF file open through the library's lowest layer, for its block list.
class HdfFile {
  public:
    explicit HdfFile(const char* path) : m_id(Hopen(path, DFACC_READ, 0)) {}
    HdfFile(const HdfFile&) = delete;
    HdfFile& operator=(const HdfFile&) = delete;
    ~HdfFile() {
        if (m_id != FAIL)
            Hclose(m_id);
    }
    int32 id() const { return m_id; }

  private:
    int32 m_id;
};

// The same file through the scientific data layer, which holds the global attributes.
class SdFile {
  public:
    explicit SdFile(const char* path) : m_id(SDstart(path, DFACC_READ)) {}
    SdFile(const SdFile&) = delete;
    SdFile& operator=(const SdFile&) = delete;
    ~SdFile() {
        if (m_id != FAIL)
            SDend(m_id);
    }
    int32 id() const { return m_id; }

  private:
    int32 m_id;
};

// Whether the library's error stack holds a failed read or seek: for a regular file that
// opened, the end of the file came first.
bool ReadFailed() {
    for (int32 level = 1; level <= 64; ++level) {
        const int16 code = HEvalue(level);
        if (code == DFE_NONE)
            return false;
        if (code == DFE_READERROR || code == DFE_SEEKERROR)
            return true;
    }
    return false;
}

// Whether every block the file's lists name ends within its `size` bytes. Checked before
// anything is read from the blocks, so a cut file is told as such and not as damaged.
bool BlocksWithin(int32 file, off_t size) {
    uint16 tag = 0;
    uint16 ref = 0;
    int32 offset = 0;
    int32 length = 0;
    while (Hfind(file, DFTAG_WILDCARD, DFREF_WILDCARD, &tag, &ref, &offset, &length,
                 DF_FORWARD) == SUCCEED) {
        if (offset >= 0 && length > 0 && off_t{offset} + length > size)
            return false;
    }
    return true;
}

constexpr std::array<std::string_view, 3> kTextNames{"coremetadata", "productmetadata",
                                                     "archivemetadata"};

// Which text an attribute is a part of (an index into kTextNames) and the part's number,
// from a name such as "CoreMetadata.1".
struct TextPart {
    std::size_t text = 0;
    unsigned number = 0;
};

std::optional<TextPart> TextPartOf(std::string_view name) {
    for (std::size_t text = 0; text < kTextNames.size(); ++text) {
        const std::string_view base = kTextNames[text];
        if (name.size() < base.size() + 2 || name[base.size()] != '.' ||
            !EqualsNoCase(name.substr(0, base.size()), base))
            continue;
        const std::string_view digits = name.substr(base.size() + 1);
        TextPart part{text, 0};
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), part.number);
        if (error == std::errc{} && end == digits.data() + digits.size())
            return part;
    }
    return std::nullopt;
}

// A text's parts: attribute index by part number, the first attribute of a number kept.
struct TextParts {
    std::map<unsigned, int32> attributes;
    std::size_t bytes = 0;
};

bool IsByteType(int32 type) {
    return type == DFNT_CHAR8 || type == DFNT_UCHAR8 || type == DFNT_INT8 || type == DFNT_UINT8;
}

// The global attributes that are parts of the texts, or false when they cannot be listed.
bool ListTextParts(int32 sd, std::array<TextParts, 3>& parts) {
    int32 datasets = 0;
    int32 attributes = 0;
    if (SDfileinfo(sd, &datasets, &attributes) == FAIL)
        return false;
    for (int32 index = 0; index < attributes; ++index) {
        char name[H4_MAX_NC_NAME + 1] = {};
        int32 type = 0;
        int32 count = 0;
        if (SDattrinfo(sd, index, name, &type, &count) == FAIL || count < 0)
            return false;
        const std::optional<TextPart> part = TextPartOf(name);
        if (!part || !IsByteType(type))
            continue;
        if (parts[part->text].attributes.emplace(part->number, index).second)
            parts[part->text].bytes += static_cast<std::size_t>(count);
    }
    return true;
}

// One text's parts read and joined in order, or false when one cannot be read.
bool JoinParts(int32 sd, const TextParts& parts, std::string& text) {
    text.reserve(parts.bytes);
    std::string part;
    for (const auto& [number, index] : parts.attributes) {
        char name[H4_MAX_NC_NAME + 1] = {};
        int32 type = 0;
        int32 count = 0;
        if (SDattrinfo(sd, index, name, &type, &count) == FAIL || count < 0)
            return false;
        part.assign(static_cast<std::size_t>(count), '\0');
        if (count > 0 && SDreadattr(sd, index, part.data()) == FAIL)
            return false;
        // The writer's C strings end in NUL, which would cut the text where parts meet.
        const std::size_t end = part.find_last_not_of('\0');
        text.append(part, 0, end == std::string::npos ? 0 : end + 1);
    }
    return true;
}

HdfTextsOrReason ReadAttributes(int32 sd) {
    std::array<TextParts, 3> parts;
    if (!ListTextParts(sd, parts))
        return {std::nullopt, "unreadable HDF"};
    if (parts[0].attributes.empty())
        return {std::nullopt, "HDF file without ECS metadata"};
    for (std::size_t text = 0; text < parts.size(); ++text) {
        if (parts[text].bytes > kMaxHdfTextBytes)
            return {std::nullopt, std::string(kTextNames[text]) + " of more than " +
                                      std::to_string(kMaxHdfTextBytes >> 20) + " MiB"};
    }
    HdfTexts texts;
    std::array<std::string*, 3> into{&texts.core, &texts.product, &texts.archive};
    for (std::size_t text = 0; text < parts.size(); ++text) {
        if (!JoinParts(sd, parts[text], *into[text]))
            return {std::nullopt, "unreadable HDF"};
    }
    return {std::move(texts), ""};
}

// The library opens files by name; the descriptor's own name in /proc opens the same file
// whatever its path, even one renamed or removed since.
HdfTextsOrReason ReadOpenFile(int fd, off_t size) {
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    const std::lock_guard<std::mutex> hold(HdfLibraryLock());
    HEclear();
    // The block list stays open through the scientific data layer's own open, which
    // shares it, so it is read from the file once.
    const HdfFile file(path.c_str());
    if (file.id() == FAIL)
        return {std::nullopt, ReadFailed() ? "truncated HDF" : "unreadable HDF"};
    if (!BlocksWithin(file.id(), size))
        return {std::nullopt, "truncated HDF"};
    const SdFile sd(path.c_str());
    if (sd.id() == FAIL)
        return {std::nullopt, ReadFailed() ? "truncated HDF" : "unreadable HDF"};
    return ReadAttributes(sd.id());
}

} // namespace

HdfTextsOrReason ReadHdfTexts(int fd) {
    struct stat status {};
    if (::fstat(fd, &status) != 0)
        return {std::nullopt, "unreadable HDF"};
    if (!S_ISREG(status.st_mode))
        return {std::nullopt, "not an HDF file"};
    char head[kHdf4Magic.size()];
    const ssize_t got = ::pread(fd, head, sizeof head, 0);
    if (got < 0)
        return {std::nullopt, "unreadable HDF"};
    if (!LooksLikeHdf4(std::string_view(head, static_cast<std::size_t>(got))))
        return {std::nullopt, "not an HDF file"};
    return ReadOpenFile(fd, status.st_size);
}

} // namespace aster
