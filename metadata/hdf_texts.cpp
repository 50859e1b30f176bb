#include "metadata/hdf_texts.h"

#include "fileio/whole_file.h"
#include "metadata/file_blocks.h"
#include "metadata/granule_items.h"
#include "metadata/hdf_reader_process.h"

#include <array>
#include <atomic>
#include <charconv>
#include <cstdint>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <type_traits>
#include <unistd.h>
#include <utility>

// Last: the library's headers define many short macros.
#include <hdf/mfhdf.h>
// The record the library keeps of an open file (filerec_t), from the same package.
#include <hdf/hfile.h>

namespace aster {

bool LooksLikeHdf4(std::string_view head) {
    return head.starts_with(kHdf4Magic);
}

namespace {

// One of the library's handles, given back by `Close` unless opening it failed.
template <auto Close> class HdfHandle {
  public:
    explicit HdfHandle(int32 id) : m_id(id) {}
    HdfHandle(const HdfHandle&) = delete;
    HdfHandle& operator=(const HdfHandle&) = delete;
    ~HdfHandle() {
        if (m_id != FAIL)
            Close(m_id);
    }
    int32 id() const { return m_id; }

  private:
    int32 m_id;
};

// The library keeps a file it cannot close (a damaged one can leave the library's own
// access to it open) in its list, under the name it was opened by, and would give that
// record to the next open of the same name: the next file read through the same
// descriptor number would be read as the damaged one. So such a record's name is blanked,
// and no name matches it again. (Its stream stays open with it: one descriptor for each
// such file.)
void CloseHdfFile(int32 file) {
    if (Hclose(file) != FAIL)
        return;
    auto* record = static_cast<filerec_t*>(HAPatom_object(file));
    if (record != nullptr && record->path != nullptr)
        record->path[0] = '\0';
}

// The file through the library's lowest layer, for its block list; a group, and a vdata.
using HdfFile = HdfHandle<&CloseHdfFile>;
using Vgroup = HdfHandle<&Vdetach>;
using Vdata = HdfHandle<&VSdetach>;

// The global attributes of the scientific data layer are vdatas of class "Attr0.0", named
// as the attribute, in the file's group of class "CDF0.0". They are read there through
// the vdata layer: the scientific data layer's own open would first read the description
// of every dataset in the file as well.
constexpr const char* kAttributesGroupClass = "CDF0.0";
constexpr const char* kAttributeClass = "Attr0.0";

class VdataLayer {
  public:
    explicit VdataLayer(int32 file) : m_file(file), m_started(Vstart(file) != FAIL) {}
    VdataLayer(const VdataLayer&) = delete;
    VdataLayer& operator=(const VdataLayer&) = delete;
    ~VdataLayer() {
        if (m_started)
            Vend(m_file);
    }
    bool started() const { return m_started; }

  private:
    int32 m_file;
    bool m_started;
};

// The library reads a file through C stdio (its default build, which Debian's is) and
// seeks before each of its many small reads; glibc makes a system call at every seek,
// even within its buffer. Those calls were two thirds of the time the library takes for a
// file from the cache, while every other thread that reads an HDF file waits for it. So
// once the file is open, its record reads through `blocks` instead, and at the end the
// record gets its own stream back, for the library to close.
static_assert(std::is_same_v<hdf_file_t, FILE*>, "the library reads through C stdio");

class ReadThroughBlocks {
  public:
    // When no stream can be made, the library keeps reading through its own.
    ReadThroughBlocks(int32 file, FileBlocks& blocks, int fd, off_t size) {
        auto* record = static_cast<filerec_t*>(HAPatom_object(file));
        FILE* stream = record == nullptr ? nullptr : blocks.open(fd, size);
        if (stream == nullptr)
            return;
        m_record = record;
        m_own = std::exchange(record->file, stream);
        record->last_op = H4_OP_UNKNOWN; // so that it seeks before its next read
    }
    ReadThroughBlocks(const ReadThroughBlocks&) = delete;
    ReadThroughBlocks& operator=(const ReadThroughBlocks&) = delete;
    ~ReadThroughBlocks() {
        if (m_record == nullptr)
            return;
        std::fclose(std::exchange(m_record->file, m_own));
        m_record->last_op = H4_OP_UNKNOWN;
    }

  private:
    filerec_t* m_record = nullptr;
    FILE* m_own = nullptr;
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

// Why the file's block lists cannot be trusted, if they cannot: "truncated or damaged HDF"
// when a block ends past its `size` bytes (a cut file, or a damaged offset or length),
// checked before anything is read from the blocks; "unreadable HDF" when the walk over the
// lists goes round. Each step of the walk continues after the tag and ref it is given, so
// one given back twice would repeat for ever: a damaged entry of tag 0 and ref 0 starts the
// walk over. Brent's way finds such a repeat without keeping every pair.
std::optional<std::string_view> BlockListFault(int32 file, off_t size) {
    uint16 tag = 0;
    uint16 ref = 0;
    int32 offset = 0;
    int32 length = 0;
    constexpr std::uint64_t kNoPair = ~std::uint64_t{0};
    std::uint64_t marked = kNoPair;
    std::size_t sinceMarked = 0;
    std::size_t span = 1;
    while (Hfind(file, DFTAG_WILDCARD, DFREF_WILDCARD, &tag, &ref, &offset, &length, DF_FORWARD) ==
           SUCCEED) {
        const std::uint64_t pair = std::uint64_t{tag} << 16 | ref;
        if (pair == marked)
            return kUnreadableHdf;
        if (++sinceMarked == span) {
            marked = pair;
            sinceMarked = 0;
            span *= 2;
        }
        if (offset >= 0 && length > 0 && off_t{offset} + length > size)
            return kTruncatedHdf;
    }
    return std::nullopt;
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

// A text's parts: the vdata of each attribute by part number, the first of a number kept.
struct TextParts {
    std::map<unsigned, int32> attributes;
    std::size_t bytes = 0;
};

bool IsByteType(int32 type) {
    return type == DFNT_CHAR8 || type == DFNT_UCHAR8 || type == DFNT_INT8 || type == DFNT_UINT8;
}

// The bytes of an attribute's values when it is a part of a text: one field of bytes.
std::optional<std::size_t> PartBytes(int32 vdata) {
    char kind[VSNAMELENMAX + 1] = {};
    if (VSgetclass(vdata, kind) == FAIL || std::string_view(kind) != kAttributeClass ||
        VFnfields(vdata) != 1 || !IsByteType(VFfieldtype(vdata, 0)))
        return std::nullopt;
    const int32 records = VSelts(vdata);
    const int32 order = VFfieldorder(vdata, 0);
    if (records < 0 || order < 0)
        return std::nullopt;
    return static_cast<std::size_t>(records) * static_cast<std::size_t>(order);
}

// The global attributes that are parts of the texts, or false when they cannot be listed.
bool ListTextParts(int32 file, std::array<TextParts, 3>& parts) {
    const int32 groupRef = Vfindclass(file, kAttributesGroupClass);
    if (groupRef == FAIL)
        return false;
    if (groupRef == 0) // no scientific data layer, so no global attributes
        return true;
    const Vgroup group(Vattach(file, groupRef, "r"));
    const int32 members = group.id() == FAIL ? FAIL : Vntagrefs(group.id());
    if (members == FAIL)
        return false;
    for (int32 index = 0; index < members; ++index) {
        int32 tag = 0;
        int32 ref = 0;
        if (Vgettagref(group.id(), index, &tag, &ref) == FAIL)
            return false;
        if (tag != DFTAG_VH)
            continue;
        const Vdata vdata(VSattach(file, ref, "r"));
        char name[VSNAMELENMAX + 1] = {};
        if (vdata.id() == FAIL || VSgetname(vdata.id(), name) == FAIL)
            return false;
        const std::optional<TextPart> part = TextPartOf(name);
        const std::optional<std::size_t> bytes = part ? PartBytes(vdata.id()) : std::nullopt;
        if (!bytes)
            continue;
        if (parts[part->text].attributes.emplace(part->number, ref).second)
            parts[part->text].bytes += *bytes;
    }
    return true;
}

// One text's parts read and joined in order, or false when one cannot be read.
bool JoinParts(int32 file, const TextParts& parts, std::string& text) {
    text.reserve(parts.bytes);
    std::string part;
    for (const auto& [number, ref] : parts.attributes) {
        const Vdata vdata(VSattach(file, ref, "r"));
        const std::optional<std::size_t> bytes =
            vdata.id() == FAIL ? std::nullopt : PartBytes(vdata.id());
        // The library's own copy of the one field's name, of whatever length.
        const char* field = bytes ? VFfieldname(vdata.id(), 0) : nullptr;
        if (field == nullptr || VSsetfields(vdata.id(), field) == FAIL)
            return false;
        const int32 records = VSelts(vdata.id());
        part.assign(*bytes, '\0');
        if (records > 0 && VSread(vdata.id(), reinterpret_cast<uint8*>(part.data()), records,
                                  FULL_INTERLACE) != records)
            return false;
        // The writer's C strings end in NUL, which would cut the text where parts meet.
        const std::size_t end = part.find_last_not_of('\0');
        text.append(part, 0, end == std::string::npos ? 0 : end + 1);
    }
    return true;
}

HdfTextsOrReason ReadAttributes(int32 file) {
    std::array<TextParts, 3> parts;
    if (!ListTextParts(file, parts))
        return {std::nullopt, std::string(kUnreadableHdf)};
    if (parts[0].attributes.empty())
        return {std::nullopt, "HDF file without ECS metadata"};
    for (std::size_t text = 0; text < parts.size(); ++text) {
        if (parts[text].bytes <= kMaxHdfTextBytes)
            continue;
        // The archive's text says nothing a scene is made of: one too large is left out,
        // not the granule with it.
        if (kTextNames[text] == "archivemetadata") {
            parts[text] = TextParts{};
            continue;
        }
        return {std::nullopt, std::string(kTextNames[text]) + " of more than " +
                                  std::to_string(kMaxHdfTextBytes >> 20) + " MiB"};
    }
    HdfTexts texts;
    std::array<std::string*, 3> into{&texts.core, &texts.product, &texts.archive};
    for (std::size_t text = 0; text < parts.size(); ++text) {
        if (!JoinParts(file, parts[text], *into[text]))
            return {std::nullopt, std::string(kUnreadableHdf)};
    }
    return {std::move(texts), ""};
}

// The library opens files by name; the descriptor's own name in /proc opens the same file
// whatever its path, even one renamed or removed since. Called only by the thread that
// holds LibraryInThisProcess, with the turns' blocks.
HdfTextsOrReason ReadOpenFile(int fd, off_t size, FileBlocks& blocks) {
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    HEclear();
    const HdfFile file(Hopen(path.c_str(), DFACC_READ, 0));
    if (file.id() == FAIL)
        return {std::nullopt, std::string(ReadFailed() ? kTruncatedHdf : kUnreadableHdf)};
    if (const std::optional<std::string_view> fault = BlockListFault(file.id(), size))
        return {std::nullopt, std::string(*fault)};
    const ReadThroughBlocks through(file.id(), blocks, fd, size);
    const VdataLayer vdatas(file.id());
    if (!vdatas.started())
        return {std::nullopt, std::string(ReadFailed() ? kTruncatedHdf : kUnreadableHdf)};
    HdfTextsOrReason texts = ReadAttributes(file.id());
    if (!texts.texts && texts.reason == kUnreadableHdf && ReadFailed())
        texts.reason = kTruncatedHdf;
    return texts;
}

// The HDF4 library keeps its open files, error stack and caches in globals of its own and
// takes no lock: threads that call it at once crash it. Held by whichever reader reads in
// this process.
std::mutex& LibraryInThisProcess() {
    static std::mutex library;
    return library;
}

std::uint32_t BigEndian(const char* bytes, std::size_t size) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < size; ++i)
        value = value << 8 | static_cast<unsigned char>(bytes[i]);
    return value;
}

// Whether no version element in the file's block lists is longer than the library's
// buffer for it. The library reads that element into a buffer of LIBVER_LEN bytes on its
// stack for whatever length the list gives, so a damaged list overwrites its stack. The
// lists are walked here first, without the library: each is a count of 2 bytes, the next
// list's offset in 4 (0 ends), then entries of tag, ref, offset and length (2, 2, 4, 4
// bytes, big-endian). The library adds lists at the end of the file, so each follows the
// one before; a list that cannot be read, or one that does not follow, is left for the
// library to tell.
bool VersionFits(int fd) {
    constexpr std::size_t kHead = 6;
    constexpr std::size_t kEntry = 12;
    std::string list;
    for (off_t at = static_cast<off_t>(kHdf4Magic.size()), next = 0; at > 0; at = next) {
        list.resize(4096); // most lists, in one read
        std::size_t got = 0;
        if (ReadAt(fd, list.data(), list.size(), at, got) != 0 || got < kHead)
            return true;
        const std::size_t bytes = kHead + BigEndian(list.data(), 2) * kEntry;
        if (got < bytes) {
            if (got < list.size())
                return true; // the file ends within the list
            list.resize(bytes);
            if (ReadAt(fd, list.data(), bytes, at, got) != 0 || got < bytes)
                return true;
        }
        for (std::size_t entry = kHead; entry + kEntry <= bytes; entry += kEntry) {
            if (BigEndian(list.data() + entry, 2) == DFTAG_VERSION &&
                BigEndian(list.data() + entry + 8, 4) > LIBVER_LEN)
                return false;
        }
        next = static_cast<off_t>(BigEndian(list.data() + 2, 4));
        if (next != 0 && next < at + static_cast<off_t>(bytes))
            return true;
    }
    return true;
}

// Why the file open as `fd` is not one for the library, if it is not; else its size. A
// helper checks the version element itself, so `versionToo` is only for reads here.
std::optional<std::string_view> NotForTheLibrary(int fd, off_t& size, bool versionToo) {
    struct stat status {};
    if (::fstat(fd, &status) != 0)
        return kUnreadableHdf;
    if (!S_ISREG(status.st_mode))
        return kNotHdf;
    char head[kHdf4Magic.size()];
    const ssize_t got = ::pread(fd, head, sizeof head, 0);
    if (got < 0)
        return kUnreadableHdf;
    if (!LooksLikeHdf4(std::string_view(head, static_cast<std::size_t>(got))))
        return kNotHdf;
    if (versionToo && !VersionFits(fd))
        return kUnreadableHdf;
    size = status.st_size;
    return std::nullopt;
}

} // namespace

// Handing the library from thread to thread costs a wakeup each time, which on two cores
// took half as long again as the reading, and so does each answer of a helper that is
// sent one file at a time. So the thread whose turn it is reads every file asked for
// meanwhile too, in the order asked, sending them to the helper all at once, and hands
// the turn over only when nothing is waiting.
class HdfReader::Turns {
  public:
    explicit Turns(HdfReaderSettings settings) {
        if (!settings.program.empty())
            m_process.emplace(std::move(settings));
    }

    bool hasHelper() const { return m_process.has_value(); }

    HdfTextsOrReason read(int fd, off_t size, const GiveUpWaiting& giveUp) {
        std::unique_lock<std::mutex> hold(m_mutex);
        Request& request = newRequest(fd, size, giveUp);
        // The thread that has the turn takes every request made before it is done.
        if (m_busy) {
            hold.unlock();
            request.done.wait(false);
        } else {
            serveWaiting(hold);
            hold.unlock();
        }
        HdfTextsOrReason result = std::move(request.result);
        const std::exception_ptr failure = std::move(request.failure);
        hold.lock();
        request.next = m_free;
        m_free = &request;
        hold.unlock();
        if (failure)
            std::rethrow_exception(failure);
        return result;
    }

  private:
    // Kept by the turns, not by the thread that asks, so that telling a thread its
    // request is done never touches a request that is gone.
    struct Request {
        int fd = -1;
        off_t size = 0;
        const GiveUpWaiting* giveUp = nullptr; // the asking thread's, alive until it is done
        HdfTextsOrReason result;
        std::exception_ptr failure; // thrown while reading it, for its own thread to throw
        std::atomic<bool> done{false};
        Request* next = nullptr; // in the queue, or among the free
    };

    // A request, queued for its turn.
    Request& newRequest(int fd, off_t size, const GiveUpWaiting& giveUp) {
        Request* request = m_free;
        if (request != nullptr)
            m_free = request->next;
        else
            request = &m_requests.emplace_back();
        request->fd = fd;
        request->size = size;
        request->giveUp = &giveUp;
        request->done.store(false);
        request->next = nullptr;
        (m_last != nullptr ? m_last->next : m_first) = request;
        m_last = request;
        return *request;
    }

    // Reads what is asked, in the order asked, until nothing is; `hold` is held on entry
    // and on return.
    void serveWaiting(std::unique_lock<std::mutex>& hold) {
        m_busy = true;
        for (;;) {
            Request* asked = std::exchange(m_first, nullptr);
            m_last = nullptr;
            if (asked == nullptr && m_oldest == nullptr)
                break;
            hold.unlock();
            serve(asked);
            hold.lock();
        }
        m_busy = false;
    }

    // Sends the requests just `asked` to the helper, then gives the oldest request in
    // hand its answer. With no helper, the library reads it here.
    void serve(Request* asked) noexcept {
        try {
            for (; asked != nullptr; asked = asked->next) {
                (m_newest != nullptr ? m_newest->next : m_oldest) = asked;
                m_newest = asked;
                if (m_process)
                    m_process->send(asked->fd);
            }
            m_newest->next = nullptr;
        } catch (...) {
            // What was sent and what was not are no longer known: every request in hand,
            // and those not yet taken in after it, fails, and the helper goes.
            m_process->abandon();
            while (m_oldest != nullptr)
                finish(std::current_exception());
            return;
        }
        Request& request = *m_oldest;
        try {
            std::optional<HdfTextsOrReason> answer =
                m_process ? m_process->receive(*request.giveUp) : std::nullopt;
            if (answer) {
                request.result = std::move(*answer);
            } else if (m_process && !VersionFits(request.fd)) { // the helper's check, skipped
                request.result = {std::nullopt, std::string(kUnreadableHdf)};
            } else {
                const std::lock_guard<std::mutex> library(LibraryInThisProcess());
                request.result = ReadOpenFile(request.fd, request.size, m_blocks);
            }
        } catch (...) {
            finish(std::current_exception());
            return;
        }
        finish(nullptr);
    }

    // Tells the oldest request's thread it is done.
    void finish(std::exception_ptr failure) noexcept {
        Request* request = m_oldest;
        // Taken before its thread is told: then it may be asked again at once.
        m_oldest = request->next;
        if (m_oldest == nullptr)
            m_newest = nullptr;
        request->failure = std::move(failure);
        request->done.store(true);
        request->done.notify_one();
    }

    std::mutex m_mutex;             // guards all below but the requests in hand
    std::deque<Request> m_requests; // as many as were ever asked at once
    Request* m_free = nullptr;
    Request* m_first = nullptr; // the queue
    Request* m_last = nullptr;
    bool m_busy = false; // a thread has the turn
    // For the thread that has the turn: the requests in hand, sent to the helper and not
    // answered, oldest first.
    Request* m_oldest = nullptr;
    Request* m_newest = nullptr;
    std::optional<HdfReaderProcess> m_process;
    FileBlocks m_blocks;
};

HdfReader::HdfReader(HdfReaderSettings settings)
    : m_turns(std::make_unique<Turns>(std::move(settings))) {}

HdfReader::~HdfReader() = default;

HdfTextsOrReason HdfReader::read(int fd, const GiveUpWaiting& giveUp) {
    off_t size = 0;
    if (const std::optional<std::string_view> reason =
            NotForTheLibrary(fd, size, !m_turns->hasHelper()))
        return {std::nullopt, std::string(*reason)};
    return m_turns->read(fd, size, giveUp);
}

HdfTextsOrReason ReadHdfTexts(int fd, const GiveUpWaiting& giveUp) {
    static HdfReader reader(HdfReaderSettings{InstalledHdfReaderProgram()});
    return reader.read(fd, giveUp);
}

HdfTextsOrReason ReadHdfTextsHere(int fd) {
    static HdfReader reader(HdfReaderSettings{});
    return reader.read(fd);
}

} // namespace aster
