#include "stac/item_ids.h"

#include "fileio/ascii.h"
#include "metadata/scene_run.h"

#include <algorithm>
#include <functional>
#include <new>

namespace aster {

namespace {

std::size_t HashOf(std::string_view text) {
    return std::hash<std::string_view>{}(text);
}

constexpr int kTagShift = 34; // the hash's top 30 bits, above the roles
constexpr std::uint64_t kItemMask = 0xFFFFFFFF;

std::uint64_t TagOf(std::string_view id) {
    return HashOf(id) >> kTagShift << kTagShift;
}
// An id's first slot to try, from its tag alone: a table that grows places each slot
// again from what it keeps, without reading a text.
std::size_t HomeOf(std::uint64_t slot, std::size_t slots) {
    return static_cast<std::size_t>(((slot >> kTagShift) * slots) >> (64 - kTagShift));
}

} // namespace

bool IsSafeId(std::string_view id) {
    if (id.empty() || id.size() > kMaxIdBytes || id.front() == '.')
        return false;
    for (const char c : id) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '/' || byte < 0x20 || byte == 0x7F)
            return false;
    }
    return true;
}

bool IsCatalogueName(std::string_view id) {
    for (const std::string_view name : {"collection.json", "catalog.json"}) {
        if (EqualsNoCase(id, name))
            return true;
    }
    return false;
}

std::string_view NameStem(std::string_view fileName) {
    const std::size_t dot = fileName.rfind('.');
    if (dot != std::string_view::npos)
        fileName = fileName.substr(0, dot);
    return WithoutDataFileExtension(fileName);
}

std::optional<Error> ItemIds::open(const std::string& folder, const std::string& shownAs) {
    if (auto error = m_texts.open(folder, shownAs))
        return error;
    return m_items.open(folder, shownAs);
}

const std::optional<Error>& ItemIds::error() const {
    return m_texts.error() ? m_texts.error() : m_items.error();
}

ItemIds::Item ItemIds::record(std::uint32_t item) {
    Item kept;
    m_items.read(std::uint64_t{item} * sizeof(Item), &kept, sizeof(Item));
    return kept;
}

void ItemIds::put(std::uint32_t item, const Item& kept) {
    m_items.write(std::uint64_t{item} * sizeof(Item), &kept, sizeof(Item));
}

std::string ItemIds::text(std::uint32_t offset) {
    unsigned char size = 0;
    m_texts.read(offset, &size, 1);
    std::string kept(size, '\0');
    m_texts.read(offset + 1, kept.data(), size);
    return kept;
}

std::uint32_t ItemIds::store(std::string_view text) {
    // Every id is at most kMaxIdBytes and a suffix: its length fits the one byte.
    static_assert(kMaxIdBytes + 12 < 256);
    if (m_textBytes + 1 + text.size() >= kNone)
        throw std::bad_alloc();
    const auto offset = static_cast<std::uint32_t>(m_textBytes);
    const auto size = static_cast<unsigned char>(text.size());
    m_texts.write(offset, &size, 1);
    m_texts.write(offset + 1, text.data(), text.size());
    m_textBytes += 1 + text.size();
    return offset;
}

std::uint32_t ItemIds::find(Roles role, std::string_view id) {
    if (m_slots.empty())
        return kNone;
    const std::uint64_t tag = TagOf(id);
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t at = HomeOf(tag, m_slots.size());; at = (at + 1) & mask) {
        const std::uint64_t slot = m_slots[at];
        if (slot == 0)
            return kNone;
        if ((slot >> kTagShift << kTagShift) != tag || !(slot & (std::uint64_t{role} << 32)))
            continue;
        const auto item = static_cast<std::uint32_t>((slot & kItemMask) - 1);
        const Item kept = record(item);
        if (text(role == kByGranule ? kept.granule : kept.*m_taken) == id)
            return item;
    }
}

void ItemIds::insert(std::uint64_t hash, std::uint64_t roles, std::uint32_t item) {
    const std::uint64_t slot = hash >> kTagShift << kTagShift | roles << 32 | (item + 1ULL);
    const std::size_t mask = m_slots.size() - 1;
    std::size_t at = HomeOf(slot, m_slots.size());
    while (m_slots[at] != 0)
        at = (at + 1) & mask;
    m_slots[at] = slot;
    ++m_used;
}

void ItemIds::insertSlotsOf(const Item& item, std::uint32_t index) {
    const bool byGranule = m_taken == &Item::provisional && (item.flags & kFirstOfGranule);
    // Most items hold their granule's ID: one slot finds them by both.
    if (byGranule && item.provisional == item.granule) {
        insert(item.takenHash, kByGranule | kByTaken, index);
        return;
    }
    insert(item.takenHash, kByTaken, index);
    if (byGranule)
        insert(item.granuleHash, kByGranule, index);
}

// Room for the slots of one more item. A larger table is filled again from the records
// of the `items` first items, which hold their ids' hashes, so that the old table is let
// go first: the two are never held at once.
void ItemIds::makeRoom(std::uint32_t items) {
    if ((m_used + 2) * 4 <= m_slots.size() * 3)
        return;
    const std::size_t size = std::max<std::size_t>(64, 2 * m_slots.size());
    m_slots = std::vector<std::uint64_t>();
    m_slots.resize(size, 0);
    m_used = 0;
    for (std::uint32_t index = 0; index < items; ++index)
        insertSlotsOf(record(index), index);
}

void ItemIds::take(std::uint32_t Item::*field, std::uint32_t base, std::string_view baseText,
                   Item& item) {
    const std::uint32_t holder = find(kByTaken, baseText);
    std::uint32_t id = base;
    m_lastId = baseText;
    if (holder != kNone || IsCatalogueName(baseText)) {
        // Suffixes below the holder's next one are taken already: trying each again for
        // every later item of the same id would take time that grows with their square.
        Item held = holder != kNone ? record(holder) : Item();
        std::uint32_t suffix = held.nextSuffix;
        for (;; ++suffix) {
            m_lastId = std::string(baseText) + "-" + std::to_string(suffix);
            if (find(kByTaken, m_lastId) == kNone)
                break;
        }
        if (holder != kNone) {
            held.nextSuffix = suffix + 1;
            put(holder, held);
        }
        id = store(m_lastId);
    }
    item.*field = id;
    item.takenHash = HashOf(m_lastId);
}

std::uint32_t ItemIds::baseOf(const Item& item) {
    return item.granule != kNone && !(item.flags & kSharedGranule) ? item.granule : item.name;
}

std::string_view ItemIds::add(std::string_view granuleStem, std::string_view nameStem,
                              std::int32_t sceneNumber) {
    if (m_count >= kNone - 1)
        throw std::bad_alloc();
    const std::uint32_t index = m_count;
    makeRoom(index);
    Item item;
    item.number = sceneNumber;
    if (!granuleStem.empty()) {
        if (IsSafeId(granuleStem)) {
            const std::uint32_t earlier = find(kByGranule, granuleStem);
            if (earlier != kNone) {
                Item first = record(earlier);
                first.flags |= kSharedGranule;
                m_anyShared = true;
                put(earlier, first);
                item.granule = first.granule;
                item.flags |= kSharedGranule;
            } else {
                item.granule = store(granuleStem);
                item.granuleHash = HashOf(granuleStem);
                item.flags |= kFirstOfGranule;
            }
        } else {
            item.flags |= kUnsafeGranule;
        }
    }
    std::string name(nameStem);
    if (item.granule != kNone && nameStem == granuleStem) {
        item.name = item.granule;
    } else if (IsSafeId(nameStem)) {
        item.name = store(nameStem);
    } else {
        item.flags |= kUnsafeName;
        name = "scene-" + std::to_string(sceneNumber);
        item.name = store(name);
    }
    // An item whose granule ID turns out to be shared is given another id at the end.
    const std::uint32_t base = baseOf(item);
    take(&Item::provisional, base, base == item.granule ? granuleStem : std::string_view(name),
         item);
    insertSlotsOf(item, index);
    put(index, item);
    ++m_count;
    m_lastFlags = item.flags;
    return m_lastId;
}

void ItemIds::finish() {
    if (!m_anyShared) {
        m_finalIsProvisional = true;
        return;
    }
    std::fill(m_slots.begin(), m_slots.end(), 0);
    m_used = 0;
    m_taken = &Item::final;
    for (std::uint32_t index = 0; index < m_count; ++index) {
        makeRoom(index);
        Item item = record(index);
        item.nextSuffix = 2;
        const std::uint32_t base = baseOf(item);
        take(&Item::final, base, text(base), item);
        insertSlotsOf(item, index);
        put(index, item);
    }
}

std::int32_t ItemIds::sceneNumber(std::size_t item) {
    return record(static_cast<std::uint32_t>(item)).number;
}

std::string ItemIds::provisionalId(std::size_t item) {
    return text(record(static_cast<std::uint32_t>(item)).provisional);
}

std::string ItemIds::finalId(std::size_t item) {
    return text(finalOf(record(static_cast<std::uint32_t>(item))));
}

bool ItemIds::changed(std::size_t index) {
    if (m_finalIsProvisional)
        return false;
    const Item item = record(static_cast<std::uint32_t>(index));
    // The same text may be stored twice, as a suffixed id in each pass.
    return item.final != item.provisional && text(item.final) != text(item.provisional);
}

std::string ItemIds::change(std::size_t index) {
    const Item item = record(static_cast<std::uint32_t>(index));
    std::string why;
    if (item.flags & kSharedGranule)
        why = "another listed file has the same granule ID";
    else if (item.flags & kUnsafeGranule)
        why = "its granule ID cannot name a folder";
    if ((item.flags & kUnsafeName) && baseOf(item) == item.name)
        why += std::string(why.empty() ? "" : ", and ") + "its file name cannot name a folder";
    // An id other than its base is always a suffixed text of its own.
    if (finalOf(item) != baseOf(item)) {
        const std::string base = text(baseOf(item));
        why += std::string(why.empty() ? "" : ", and ") + base +
               (IsCatalogueName(base) ? " is a name the catalogue gives its own file"
                                      : " is the id of an earlier item");
    }
    return why;
}

} // namespace aster
