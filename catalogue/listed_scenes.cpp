#include "catalogue/listed_scenes.h"

#include "catalogue/list_reader.h"
#include "catalogue/scene_reader.h"

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

} // namespace

class ListedScenes::Impl {
  public:
    Impl(ReadAheadSettings settings, PrepareScene prepare)
        : m_settings(settings), m_prepare(std::move(prepare)) {}
    ~Impl() { stop(); }

    std::optional<Error> open(const std::string& folderPrefix);
    bool next(ListedScene& scene);

    std::int64_t m_total = 0;
    std::optional<Error> m_error;

  private:
    struct Slot {
        std::atomic<std::uint64_t> state{0};
        std::int32_t number = 0;
        bool listError = false; // the list could not be read past this line
        std::string fullPath;
        std::unique_ptr<char[]> buffer;
        std::size_t capacity = 0;
        std::size_t length = 0;
        std::size_t reserved = 0; // bytes counted against maxBytes
        std::shared_ptr<void> prepared;
    };

    void stop();
    void work();
    void readFile(Slot& slot, std::uint64_t sequence);
    bool fill(Slot& slot, std::uint64_t sequence);
    std::string_view readInTurn(Slot& slot);
    void prepare(Slot& slot, ListedScene& scene);
    bool helpRead(std::uint64_t& later);

    ReadAheadSettings m_settings;
    PrepareScene m_prepare;
    ListReader m_list;
    std::string m_prefix;
    UniqueFd m_folder;
    std::string m_line;
    std::int32_t m_counter = 0;
    bool m_listDone = false;
    std::optional<Error> m_listError;
    SceneFileReader m_inTurnReader;

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

std::optional<Error> ListedScenes::Impl::open(const std::string& folderPrefix) {
    m_prefix = folderPrefix;
    if (auto error = m_list.open(folderPrefix + "filelist.txt"))
        return error;
    m_folder.reset(::open(folderPrefix.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!m_folder)
        return SystemError(errno, folderPrefix);
    m_total = m_list.countLines();
    const unsigned threads =
        static_cast<unsigned>(std::min<std::int64_t>(m_settings.threads, m_total));
    m_ringSize = threads > 0 ? std::max<std::size_t>(m_settings.maxFiles, 2) : 1;
    m_ring = std::make_unique<Slot[]>(m_ringSize);
    m_minAwake = std::max(2u, std::thread::hardware_concurrency()) - 1;
    try {
        for (unsigned i = 0; i < threads; ++i) {
            m_awake.fetch_add(1);
            m_threads.emplace_back([this] { work(); });
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
void ListedScenes::Impl::work() {
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
            readFile(slot, sequence);
            lastReadWaited = std::chrono::steady_clock::now() - start > kSlowRead;
        }
    }
}

void ListedScenes::Impl::readFile(Slot& slot, std::uint64_t sequence) {
    SlotState result = kReady;
    slot.length = 0;
    const ScenePath path = ListedScenePath(slot.fullPath, m_prefix.size(), m_folder.get());
    if (const std::optional<std::size_t> size = SceneFileSize(path)) {
        // Within the bytes allowed in flight, or else left for the run to read in its turn.
        if (m_bytesInFlight.fetch_add(*size) + *size > m_settings.maxBytes) {
            m_bytesInFlight.fetch_sub(*size);
            result = kInTurn;
        } else {
            slot.reserved = *size;
            if (slot.capacity < *size) {
                slot.buffer.reset(new (std::nothrow) char[*size]);
                slot.capacity = slot.buffer ? *size : 0;
            }
            if (slot.capacity < *size)
                result = kInTurn; // no memory for it now; the run tries again
            else
                slot.length = ReadSceneFile(path, *size, slot.buffer.get()).value_or(0);
        }
    }
    if (result == kReady && m_prepare) {
        try {
            slot.prepared = m_prepare(
                ListedScene{slot.number, slot.fullPath, {slot.buffer.get(), slot.length}, {}});
        } catch (...) {
            slot.prepared.reset(); // the run prepares it again in its turn
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
                             "More than 2147483647 lines in " + m_prefix + "filelist.txt",
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
            readFile(slot, later);
            ++later;
            return true;
        }
    }
    return false;
}

std::string_view ListedScenes::Impl::readInTurn(Slot& slot) {
    return m_inTurnReader.read(ListedScenePath(slot.fullPath, m_prefix.size(), m_folder.get()));
}

bool ListedScenes::Impl::next(ListedScene& scene) {
    if (m_error)
        return false;
    if (m_hasCurrent) {
        Slot& done = m_ring[(m_next - 1) % m_ringSize];
        m_bytesInFlight.fetch_sub(done.reserved);
        done.reserved = 0;
        if (done.capacity > kKeptBufferBytes) {
            done.buffer.reset();
            done.capacity = 0;
        }
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
    Slot& slot = m_ring[sequence % m_ringSize];
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
        prepare(slot, scene);
        return true;
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
    scene.text = state == Tag(sequence, kReady) ? std::string_view(slot.buffer.get(), slot.length)
                                                : readInTurn(slot);
    prepare(slot, scene);
    return true;
}

// Hands over what a reading thread prepared, or prepares it now where none did.
void ListedScenes::Impl::prepare(Slot& slot, ListedScene& scene) {
    scene.prepared = std::move(slot.prepared);
    if (m_prepare && !scene.prepared)
        scene.prepared = m_prepare(scene);
}

ListedScenes::ListedScenes(ReadAheadSettings settings, PrepareScene prepare)
    : m_impl(std::make_unique<Impl>(settings, std::move(prepare))) {
}

ListedScenes::~ListedScenes() = default;

std::optional<Error> ListedScenes::open(const std::string& folderPrefix) {
    return m_impl->open(folderPrefix);
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

} // namespace aster
