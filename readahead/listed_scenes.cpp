#include "readahead/listed_scenes.h"

#include "readahead/list_reader.h"
#include "readahead/scene_files.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <limits>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace aster {

std::optional<std::int32_t> NextSceneNumber(std::int32_t current) {
    if (current == std::numeric_limits<std::int32_t>::max())
        return std::nullopt;
    return current + 1;
}

Error StoppedAfter(std::int64_t done, std::int64_t total) {
    return Cancelled("Stopped after " + std::to_string(done) + " of " + std::to_string(total) +
                     " listed files. Nothing was changed.");
}

namespace {

// A read that takes longer than this waited for the disk rather than copied from memory.
constexpr auto kSlowRead = std::chrono::microseconds(50);

// Buffers up to this size stay with their slot for the next files; larger ones are given
// back at once, so the kept ones cannot add up to more than a few megabytes.
constexpr std::size_t kKeptBufferBytes = 256 * 1024;

// The run's own files change while it runs elsewhere; reading them in their turn keeps
// the run's result the same however far it reads ahead.
bool IsRunFile(std::string_view line) {
    return line == "filelist.txt" || line == "table.txt" || line == "polys.txt";
}

// A slot's state and the sequence number of the list line it holds, in one word, so that
// a reading thread that comes late can never take a slot refilled with a later line.
enum SlotState : std::uint64_t {
    kFilled = 1, // waiting for a reading thread
    kReading,    // a reading thread has it
    kReady,      // read, waiting for the run
    kInTurn,     // for the run to read itself when its turn comes
    kTaken,      // the run has it
};
constexpr std::uint64_t Tag(std::uint64_t sequence, SlotState state) {
    return sequence << 3 | state;
}

// A buffer that grows to the largest file it held.
class TextBuffer {
  public:
    char* data() const { return m_data.get(); }
    std::size_t capacity() const { return m_capacity; }
    // Room for `size` bytes, the first `keep` of them kept; false when memory is short.
    bool reserve(std::size_t size, std::size_t keep) {
        if (size <= m_capacity)
            return true;
        if (keep == 0)
            release(); // nothing to copy: the old buffer goes first, so both are never held
        std::unique_ptr<char[]> larger(new (std::nothrow) char[size]);
        if (!larger)
            return false;
        std::copy_n(m_data.get(), keep, larger.get());
        m_data = std::move(larger);
        m_capacity = size;
        return true;
    }
    void release() {
        m_data.reset();
        m_capacity = 0;
    }

  private:
    std::unique_ptr<char[]> m_data;
    std::size_t m_capacity = 0;
};

// A read that failed for want of the process's own resources (descriptors, memory) says
// nothing of the file: taken as unreadable, it would leave a good scene out of an output
// published as whole.
bool ShortOfResources(int err) {
    return err == EMFILE || err == ENFILE || err == ENOMEM || err == ENOBUFS;
}

// Reads a file of `size` bytes by the rule of `headFirst`: its head, then the rest when
// the rule wants it whole, where `allowWhole(size)` lets it be held whole. False only
// when it may not be held whole now; an unreadable file gives length 0, as ReadSceneFile
// would. `text` must have room for the head.
template <typename AllowWhole>
bool ReadHeadFirst(const ScenePath& path, std::size_t size, const HeadFirst& headFirst,
                   std::size_t worker, TextBuffer& text, std::size_t& length, TextExtent& extent,
                   AllowWhole allowWhole) {
    length = 0;
    extent = TextExtent::Whole;
    const UniqueFd file = OpenSceneFile(path);
    if (!file)
        return true;
    const std::size_t first = headFirst.firstRead(size);
    const std::optional<std::size_t> head = ReadUpTo(file.get(), first, text.data());
    if (!head)
        return true;
    length = *head;
    if (size <= headFirst.headBytes || length < std::min(first, headFirst.headBytes))
        return true; // the head is all the file holds
    // A small file read whole still answers to the rule by its head alone.
    if (!headFirst.wholeFile({text.data(), headFirst.headBytes}, worker)) {
        extent = TextExtent::Head;
        length = headFirst.headBytes;
        return true;
    }
    if (size > headFirst.maxWholeBytes) {
        extent = TextExtent::TooLarge;
        return true;
    }
    if (first == size)
        return true;
    if (!allowWhole(size) || !text.reserve(size, length))
        return false;
    const std::optional<std::size_t> rest = ReadUpTo(file.get(), size - length, text.data() + length);
    length = rest ? length + *rest : 0;
    return true;
}

} // namespace

class ListedScenes::Impl {
  public:
    Impl(ReadAheadSettings settings, HeadFirst headFirst, ScenePreparer* preparer)
        : m_settings(settings), m_headFirst(std::move(headFirst)), m_preparer(preparer) {}
    ~Impl() { stop(); }

    std::optional<Error> open(const std::string& folderPrefix, const ListOptions& list);
    bool next(ListedScene& scene);

    std::int64_t m_total = 0;
    std::optional<Error> m_error;
    std::size_t m_currentPlace = 0;

  private:
    struct Slot {
        std::atomic<std::uint64_t> state{0};
        std::int32_t number = 0;
        bool listError = false; // the list could not be read past this line
        std::string fullPath;
        TextBuffer text;
        std::size_t length = 0;
        TextExtent extent = TextExtent::Whole;
        FileIdentity identity;
        std::size_t reserved = 0; // bytes counted against maxBytes
    };

    void stop();
    void work(std::size_t worker);
    void readFile(Slot& slot, std::uint64_t sequence, std::size_t worker);
    bool reserve(Slot& slot, std::size_t bytes);
    bool fill(Slot& slot, std::uint64_t sequence);
    std::string_view readInTurn(Slot& slot);
    bool shortOfResources(std::string_view fullPath);
    bool helpRead(std::uint64_t& later);

    ReadAheadSettings m_settings;
    HeadFirst m_headFirst;
    ScenePreparer* m_preparer;
    ListReader m_list;
    std::string m_prefix;
    std::string m_listPath;
    UniqueFd m_folder;
    std::string m_line;
    std::int32_t m_counter = 0;
    bool m_listDone = false;
    std::optional<Error> m_listError;
    SceneFileReader m_inTurnReader;
    int m_shortOf = 0;       // the error of a read in turn that wanted the process's resources
    TextBuffer m_inTurnText; // for reading by the HeadFirst rule

    std::size_t m_ringSize = 1;
    std::unique_ptr<Slot[]> m_ring;
    std::uint64_t m_next = 0;                    // the line the run takes next (run's thread only)
    bool m_hasCurrent = false;                   // m_next - 1 is handed out and not yet released
    std::atomic<std::uint64_t> m_produced{0};    // lines placed in the ring
    std::atomic<std::uint64_t> m_claimed{0};     // the next line a reading thread looks at
    std::atomic<std::uint64_t> m_firstUnread{0}; // m_next, for the reading threads
    std::atomic<std::uint64_t> m_wake{0};        // bumped to wake the reading threads
    std::atomic<std::size_t> m_bytesInFlight{0};
    std::atomic<bool> m_stop{false};
    std::atomic<unsigned> m_awake{0}; // reading threads not asleep
    unsigned m_minAwake = 1;
    std::vector<std::thread> m_threads;
};

std::optional<Error> ListedScenes::Impl::open(const std::string& folderPrefix,
                                              const ListOptions& list) {
    m_prefix = folderPrefix;
    m_listPath = ListPath(folderPrefix, list.path);
    m_list = ListReader(1 << 16, list.lineFeedEnds);
    if (auto error = m_list.open(m_listPath))
        return error;
    m_folder.reset(::open(folderPrefix.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!m_folder)
        return SystemError(errno, folderPrefix);
    m_total = m_list.countLines();
    const unsigned threads =
        static_cast<unsigned>(std::min<std::int64_t>(m_settings.threads, m_total));
    m_ringSize = threads > 0 ? std::max<std::size_t>(m_settings.maxFiles, 2) : 1;
    m_ring = std::make_unique<Slot[]>(m_ringSize);
    if (m_preparer)
        m_preparer->makePlaces(m_ringSize);
    m_minAwake = std::max(2u, std::thread::hardware_concurrency()) - 1;
    try {
        for (unsigned i = 0; i < threads; ++i) {
            m_awake.fetch_add(1);
            m_threads.emplace_back([this, i] { work(i + 1); });
        }
    } catch (const std::system_error&) {
        m_awake.fetch_sub(1);
        // Fewer threads, or none: what they would have read is read in its turn.
    }
    return std::nullopt;
}

void ListedScenes::Impl::stop() {
    m_stop.store(true);
    m_wake.fetch_add(1);
    m_wake.notify_all();
    for (std::thread& thread : m_threads)
        thread.join();
    m_threads.clear();
}

// A reading thread: claims the lines placed in the ring in list order and reads each
// file whole into its slot's buffer. The run may take a line itself when its turn comes
// first; the claim then fails and the thread moves on.
void ListedScenes::Impl::work(std::size_t worker) {
    bool lastReadWaited = false;
    for (;;) {
        const std::uint64_t wake = m_wake.load();
        if (m_stop.load())
            return;
        std::uint64_t sequence = m_claimed.load();
        const std::uint64_t first = m_firstUnread.load(std::memory_order_relaxed);
        if (sequence < first) {
            // The run took these lines itself: skip them.
            m_claimed.compare_exchange_weak(sequence, first);
            continue;
        }
        if (sequence >= m_produced.load(std::memory_order_acquire)) {
            m_awake.fetch_sub(1);
            m_wake.wait(wake);
            m_awake.fetch_add(1);
            lastReadWaited = false;
            continue;
        }
        if (!m_claimed.compare_exchange_weak(sequence, sequence + 1))
            continue;
        // Another reader for the lines left, while fewer run than the machine has cores
        // besides the run's own (which reads too), or when reads wait for the disk: then as
        // many run as there are lines to read. From a warm cache a few readers keep the
        // cores busy, and more would only take turns.
        if (sequence + 1 < m_produced.load(std::memory_order_relaxed) &&
            (lastReadWaited || m_awake.load() < m_minAwake)) {
            m_wake.fetch_add(1);
            m_wake.notify_one();
        }
        Slot& slot = m_ring[sequence % m_ringSize];
        std::uint64_t expected = Tag(sequence, kFilled);
        if (slot.state.compare_exchange_strong(expected, Tag(sequence, kReading),
                                               std::memory_order_acquire)) {
            const auto start = std::chrono::steady_clock::now();
            readFile(slot, sequence, worker);
            lastReadWaited = std::chrono::steady_clock::now() - start > kSlowRead;
        }
    }
}

// Counts `bytes` more of the slot against the bytes allowed in flight; false when they
// would pass the limit.
bool ListedScenes::Impl::reserve(Slot& slot, std::size_t bytes) {
    if (m_bytesInFlight.fetch_add(bytes) + bytes > m_settings.maxBytes) {
        m_bytesInFlight.fetch_sub(bytes);
        return false;
    }
    slot.reserved += bytes;
    return true;
}

void ListedScenes::Impl::readFile(Slot& slot, std::uint64_t sequence, std::size_t worker) {
    SlotState result = kReady;
    errno = 0;
    slot.length = 0;
    slot.extent = TextExtent::Whole;
    const ScenePath path = ListedScenePath(slot.fullPath, m_prefix.size(), m_folder.get(),
                                           m_settings.wildcardsInLineOnly);
    if (const std::optional<std::size_t> size =
            SceneFileSize(path, &slot.identity, m_headFirst.boundsEveryRead())) {
        const bool headFirst = m_headFirst.active();
        const std::size_t first = headFirst ? m_headFirst.firstRead(*size) : *size;
        // Within the bytes allowed in flight and the memory there is, or else left for the
        // run to read in its turn.
        if (!reserve(slot, first) || !slot.text.reserve(first, 0)) {
            result = kInTurn;
        } else if (!headFirst) {
            slot.length = ReadSceneFile(path, *size, slot.text.data()).value_or(0);
        } else {
            try {
                const auto allowWhole = [&](std::size_t whole) {
                    return reserve(slot, whole - first);
                };
                if (!ReadHeadFirst(path, *size, m_headFirst, worker, slot.text, slot.length,
                                   slot.extent, allowWhole))
                    result = kInTurn;
            } catch (...) {
                result = kInTurn; // the rule failed here; the run asks it again in its turn
            }
        }
    }
    // The run tries again in its turn, and fails if it is still short of them.
    if (result == kReady && slot.length == 0 && ShortOfResources(errno))
        result = kInTurn;
    if (result == kReady && m_preparer) {
        try {
            m_preparer->prepare(sequence % m_ringSize, worker,
                                ListedScene{slot.number, slot.fullPath,
                                            {slot.text.data(), slot.length}, slot.extent,
                                            slot.identity});
        } catch (...) {
            // Nothing in its place: the run prepares it again in its turn.
        }
    }
    slot.state.store(Tag(sequence, result), std::memory_order_release);
    slot.state.notify_one();
}

// Places the next list line in `slot`; false when the list has ended.
bool ListedScenes::Impl::fill(Slot& slot, std::uint64_t sequence) {
    // An error takes its place in the list order, so everything before it is still done.
    const auto endWith = [&](std::optional<Error> error) {
        m_listDone = true;
        if (!error)
            return false;
        m_listError = std::move(error);
        slot.listError = true;
        slot.state.store(Tag(sequence, kInTurn), std::memory_order_release);
        return true;
    };
    if (m_list.atEnd())
        return endWith(m_list.error());
    const auto number = NextSceneNumber(m_counter);
    if (!number)
        return endWith(Error{EOVERFLOW,
                             "More than 2147483647 lines in " + m_listPath,
                             "Split the list into several folders."});
    m_list.readLine(m_line);
    if (m_list.error())
        return endWith(m_list.error());
    m_counter = *number;
    slot.number = m_counter;
    slot.listError = false;
    slot.fullPath.assign(m_prefix);
    slot.fullPath += m_line;
    const bool inTurn = m_threads.empty() || IsRunFile(m_line);
    slot.state.store(Tag(sequence, inTurn ? kInTurn : kFilled), std::memory_order_release);
    return true;
}

// Reads the first line from `later` on that no thread has taken yet, as a reading thread
// would; false when there is none.
bool ListedScenes::Impl::helpRead(std::uint64_t& later) {
    const std::uint64_t produced = m_produced.load(std::memory_order_relaxed);
    for (; later < produced; ++later) {
        Slot& slot = m_ring[later % m_ringSize];
        std::uint64_t expected = Tag(later, kFilled);
        if (slot.state.compare_exchange_strong(expected, Tag(later, kReading),
                                               std::memory_order_acquire)) {
            readFile(slot, later, 0); // on the run's thread
            ++later;
            return true;
        }
    }
    return false;
}

std::string_view ListedScenes::Impl::readInTurn(Slot& slot) {
    const ScenePath path = ListedScenePath(slot.fullPath, m_prefix.size(), m_folder.get(),
                                           m_settings.wildcardsInLineOnly);
    slot.extent = TextExtent::Whole;
    errno = 0;
    const auto unread = [this] {
        if (ShortOfResources(errno))
            m_shortOf = errno;
        return std::string_view();
    };
    if (!m_headFirst.active()) {
        const std::string_view text = m_inTurnReader.read(path, &slot.identity);
        return text.empty() ? unread() : text;
    }
    const std::optional<std::size_t> size =
        SceneFileSize(path, &slot.identity, m_headFirst.boundsEveryRead());
    if (!size)
        return unread();
    std::size_t length = 0;
    // On the run's thread, which prepares as worker 0.
    if (!m_inTurnText.reserve(m_headFirst.firstRead(*size), 0) ||
        !ReadHeadFirst(path, *size, m_headFirst, 0, m_inTurnText, length, slot.extent,
                       [](std::size_t) { return true; })) {
        errno = ENOMEM;
        return unread();
    }
    return length == 0 ? unread() : std::string_view(m_inTurnText.data(), length);
}

// Ends the run when the file just read in turn could not be for want of the process's
// resources.
bool ListedScenes::Impl::shortOfResources(std::string_view fullPath) {
    if (m_shortOf == 0)
        return false;
    Error error = SystemError(m_shortOf, fullPath);
    error.description += ". Nothing was changed.";
    if (m_shortOf == EMFILE || m_shortOf == ENFILE)
        error.hint = "The program may not open more files at once here: raise the limit of "
                     "open files (ulimit -n), or close other programs, and run again.";
    m_error = std::move(error);
    return true;
}

bool ListedScenes::Impl::next(ListedScene& scene) {
    if (m_error)
        return false;
    if (m_hasCurrent) {
        Slot& done = m_ring[(m_next - 1) % m_ringSize];
        m_bytesInFlight.fetch_sub(done.reserved);
        done.reserved = 0;
        if (done.text.capacity() > kKeptBufferBytes)
            done.text.release();
        m_hasCurrent = false;
    }
    // Lines are placed in batches of half the ring, so the reading threads wake once per
    // batch rather than once per file.
    std::uint64_t produced = m_produced.load(std::memory_order_relaxed);
    if (!m_listDone && (produced == m_next || produced - m_next <= m_ringSize / 2)) {
        while (!m_listDone && produced - m_next < m_ringSize &&
               fill(m_ring[produced % m_ringSize], produced))
            ++produced;
        m_produced.store(produced, std::memory_order_release);
        m_wake.fetch_add(1);
        m_wake.notify_one();
    }
    if (produced == m_next)
        return false;

    const std::uint64_t sequence = m_next++;
    m_firstUnread.store(m_next, std::memory_order_relaxed);
    m_currentPlace = sequence % m_ringSize;
    Slot& slot = m_ring[m_currentPlace];
    m_hasCurrent = true;
    if (slot.listError) {
        m_error = m_listError;
        return false;
    }
    scene.number = slot.number;
    scene.fullPath = slot.fullPath;
    std::uint64_t state = Tag(sequence, kFilled);
    // Not yet taken by a reading thread: the run reads it now rather than wait.
    if (slot.state.compare_exchange_strong(state, Tag(sequence, kTaken),
                                           std::memory_order_acquire)) {
        scene.text = readInTurn(slot);
        scene.extent = slot.extent;
        scene.identity = slot.identity;
        return !shortOfResources(scene.fullPath);
    }
    // While a reading thread still reads this line, the run reads a later one itself
    // rather than sleep: its time goes into reading either way, and waking costs more than
    // a read from memory.
    std::uint64_t later = sequence + 1;
    while (state == Tag(sequence, kReading)) {
        if (!helpRead(later))
            slot.state.wait(state, std::memory_order_acquire);
        state = slot.state.load(std::memory_order_acquire);
    }
    scene.text = state == Tag(sequence, kReady) ? std::string_view(slot.text.data(), slot.length)
                                                : readInTurn(slot);
    scene.extent = slot.extent;
    scene.identity = slot.identity;
    return !shortOfResources(scene.fullPath);
}

ListedScenes::ListedScenes(ReadAheadSettings settings, HeadFirst headFirst,
                           ScenePreparer* preparer)
    : m_impl(std::make_unique<Impl>(settings, std::move(headFirst), preparer)) {
}

ListedScenes::~ListedScenes() = default;

std::optional<Error> ListedScenes::open(const std::string& folderPrefix,
                                        const ListOptions& list) {
    return m_impl->open(folderPrefix, list);
}

std::int64_t ListedScenes::total() const {
    return m_impl->m_total;
}

bool ListedScenes::next(ListedScene& scene) {
    return m_impl->next(scene);
}

const std::optional<Error>& ListedScenes::error() const {
    return m_impl->m_error;
}

std::size_t ListedScenes::currentPlace() const {
    return m_impl->m_currentPlace;
}

} // namespace aster
