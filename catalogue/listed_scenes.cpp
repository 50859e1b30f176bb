#include "listed_scenes.h"

#include "list_reader.h"
#include "scene_reader.h"

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <limits>
#include <mutex>
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

namespace {

struct Buffer {
    std::unique_ptr<char[]> data;
    std::size_t capacity = 0;
};

// Buffers up to this size are kept for the next files; larger ones go back at once, so
// the spare ones cannot add up to more than a few megabytes.
constexpr std::size_t kKeptBufferBytes = 256 * 1024;

// The run's own files change while it runs elsewhere; reading them in their turn keeps
// the run's result the same however far it reads ahead.
bool IsRunFile(std::string_view line) {
    return line == "filelist.txt" || line == "table.txt" || line == "polys.txt";
}

} // namespace

class ListedScenes::Impl {
  public:
    explicit Impl(ReadAheadSettings settings) : m_settings(settings) {
        if (m_settings.maxFiles == 0)
            m_settings.maxFiles = 1;
    }
    ~Impl() { stop(); }

    std::optional<Error> open(const std::string& folderPrefix);
    bool next(ListedScene& scene);

    std::int64_t m_total = 0;
    std::optional<Error> m_error;

  private:
    enum class State { Waiting, Claimed, Ready };
    struct Slot {
        std::int32_t number = 0;
        std::string fullPath;
        bool listError = false; // the list could not be read past this point
        bool inTurn = false;    // read by the run itself when its turn comes
        State state = State::Waiting;
        Buffer buffer;
        std::size_t reserved = 0; // bytes counted against maxBytes
        std::size_t length = 0;
    };

    void stop();
    void work();
    void readMoreLines(std::size_t count);
    void releaseCurrent();
    Buffer takeBuffer(std::size_t size);
    bool isNextToDeliver(const Slot& slot) const;

    ReadAheadSettings m_settings;
    ListReader m_list;
    std::string m_prefix;
    std::string m_line;
    std::int32_t m_counter = 0;
    bool m_listDone = false;
    std::optional<Error> m_listError;
    SceneFileReader m_inTurnReader;

    std::mutex m_mutex;
    std::condition_variable m_workCv;   // slots to read, or stop
    std::condition_variable m_readyCv;  // a slot became ready
    std::condition_variable m_budgetCv; // bytes in flight went down
    std::deque<Slot> m_slots;           // front: the current file, once handed out
    std::uint64_t m_headSeq = 0;        // sequence number of m_slots.front()
    std::uint64_t m_claimSeq = 0;       // the next slot a reader looks at
    std::size_t m_bytesInFlight = 0;
    bool m_hasCurrent = false;
    bool m_stop = false;
    std::vector<Buffer> m_spare;
    std::vector<std::thread> m_threads;
};

std::optional<Error> ListedScenes::Impl::open(const std::string& folderPrefix) {
    m_prefix = folderPrefix;
    if (auto error = m_list.open(folderPrefix + "filelist.txt"))
        return error;
    m_total = m_list.countLines();
    if (m_total == 0)
        return std::nullopt;
    const unsigned threads =
        static_cast<unsigned>(std::min<std::int64_t>(m_settings.threads, m_total));
    try {
        for (unsigned i = 0; i < threads; ++i)
            m_threads.emplace_back([this] { work(); });
    } catch (const std::system_error&) {
        // Fewer threads, or none: files are then read in their turn.
    }
    return std::nullopt;
}

void ListedScenes::Impl::stop() {
    {
        const std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_workCv.notify_all();
    m_budgetCv.notify_all();
    for (std::thread& thread : m_threads)
        thread.join();
    m_threads.clear();
}

bool ListedScenes::Impl::isNextToDeliver(const Slot& slot) const {
    const std::size_t index = m_hasCurrent ? 1 : 0;
    return index < m_slots.size() && &m_slots[index] == &slot;
}

Buffer ListedScenes::Impl::takeBuffer(std::size_t size) {
    for (auto it = m_spare.begin(); it != m_spare.end(); ++it) {
        if (it->capacity >= size) {
            Buffer buffer = std::move(*it);
            m_spare.erase(it);
            return buffer;
        }
    }
    return Buffer{};
}

// A reading thread: takes the waiting slots in list order, reads each file whole into a
// buffer of its own and marks it ready. The run may take a waiting slot itself when its
// turn comes first.
void ListedScenes::Impl::work() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_workCv.wait(lock, [this] {
            return m_stop || std::max(m_claimSeq, m_headSeq) < m_headSeq + m_slots.size();
        });
        if (m_stop)
            return;
        m_claimSeq = std::max(m_claimSeq, m_headSeq);
        Slot& slot = m_slots[m_claimSeq - m_headSeq];
        ++m_claimSeq;
        if (slot.inTurn || slot.listError || slot.state != State::Waiting)
            continue;
        slot.state = State::Claimed;
        const std::string path = slot.fullPath;
        lock.unlock();
        const std::optional<std::size_t> size = SceneFileSize(path);
        lock.lock();
        if (!size) {
            slot.state = State::Ready;
            m_readyCv.notify_all();
            continue;
        }
        if (*size > m_settings.maxBytes) {
            slot.inTurn = true;
            slot.state = State::Waiting;
            m_readyCv.notify_all();
            continue;
        }
        m_budgetCv.wait(lock, [&] {
            return m_stop || m_bytesInFlight + *size <= m_settings.maxBytes ||
                   isNextToDeliver(slot);
        });
        if (m_stop)
            return;
        Buffer buffer = takeBuffer(*size);
        m_bytesInFlight += *size;
        slot.reserved = *size;
        lock.unlock();
        std::optional<std::size_t> got;
        bool noMemory = false;
        if (buffer.capacity < *size) {
            buffer.data.reset(new (std::nothrow) char[*size]);
            buffer.capacity = buffer.data ? *size : 0;
            noMemory = !buffer.data;
        }
        if (!noMemory)
            got = ReadSceneFile(path, *size, buffer.data.get());
        lock.lock();
        if (noMemory) {
            // The run will try again in its turn, with its own buffer.
            m_bytesInFlight -= slot.reserved;
            slot.reserved = 0;
            slot.inTurn = true;
            slot.state = State::Waiting;
            m_budgetCv.notify_all();
        } else {
            slot.buffer = std::move(buffer);
            slot.length = got.value_or(0);
            slot.state = State::Ready;
        }
        m_readyCv.notify_all();
    }
}

void ListedScenes::Impl::releaseCurrent() {
    if (!m_hasCurrent)
        return;
    Slot& current = m_slots.front();
    m_bytesInFlight -= current.reserved;
    if (current.buffer.capacity > 0 && current.buffer.capacity <= kKeptBufferBytes &&
        m_spare.size() < m_settings.maxFiles)
        m_spare.push_back(std::move(current.buffer));
    m_slots.pop_front();
    ++m_headSeq;
    m_hasCurrent = false;
}

// Reads up to `count` more list lines into waiting slots. Only the run's thread reads the
// list, so the lock is taken only to add the slots.
void ListedScenes::Impl::readMoreLines(std::size_t count) {
    std::vector<Slot> added;
    // An error takes its place in the list order, so everything before it is still done.
    const auto endWith = [&](std::optional<Error> error) {
        m_listDone = true;
        if (!error)
            return;
        m_listError = std::move(error);
        Slot marker;
        marker.listError = true;
        added.push_back(std::move(marker));
    };
    while (added.size() < count && !m_listDone) {
        if (m_list.atEnd()) {
            endWith(m_list.error());
            break;
        }
        const auto number = NextSceneNumber(m_counter);
        if (!number) {
            endWith(Error{EOVERFLOW, "More than 2147483647 lines in " + m_prefix + "filelist.txt",
                          "Split the list into several folders."});
            break;
        }
        m_list.readLine(m_line);
        if (m_list.error()) {
            endWith(m_list.error());
            break;
        }
        m_counter = *number;
        Slot slot;
        slot.number = m_counter;
        slot.fullPath.reserve(m_prefix.size() + m_line.size());
        slot.fullPath = m_prefix;
        slot.fullPath += m_line;
        slot.inTurn = m_threads.empty() || IsRunFile(m_line);
        added.push_back(std::move(slot));
    }
    if (added.empty())
        return;
    {
        const std::lock_guard lock(m_mutex);
        for (Slot& slot : added)
            m_slots.push_back(std::move(slot));
    }
    // One reader per new slot: waking all of them for every line would cost more than
    // the reading on a machine with few cores.
    if (added.size() == 1)
        m_workCv.notify_one();
    else
        m_workCv.notify_all();
}

bool ListedScenes::Impl::next(ListedScene& scene) {
    if (m_error)
        return false;
    std::size_t room = 0;
    {
        const std::lock_guard lock(m_mutex);
        releaseCurrent();
        const std::size_t ahead = m_threads.empty() ? 1 : m_settings.maxFiles;
        room = m_slots.size() < ahead ? ahead - m_slots.size() : 0;
    }
    m_budgetCv.notify_all();
    readMoreLines(room);

    std::unique_lock lock(m_mutex);
    if (m_slots.empty())
        return false;
    Slot& slot = m_slots.front();
    if (slot.listError) {
        m_error = m_listError;
        return false;
    }
    scene.number = slot.number;
    scene.fullPath = slot.fullPath;
    // Until it is handed out, the slot counts as the next one to deliver, which a reading
    // thread may fill whatever the bytes in flight.
    m_readyCv.wait(lock, [&slot] { return slot.state != State::Claimed || slot.inTurn; });
    m_hasCurrent = true;
    if (slot.state != State::Ready) {
        // Not taken by a reading thread, or left for the run (too large, or no memory).
        slot.state = State::Claimed;
        lock.unlock();
        scene.text = m_inTurnReader.read(slot.fullPath);
        return true;
    }
    scene.text = std::string_view(slot.buffer.data.get(), slot.length);
    return true;
}

ListedScenes::ListedScenes(ReadAheadSettings settings)
    : m_impl(std::make_unique<Impl>(settings)) {}

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
