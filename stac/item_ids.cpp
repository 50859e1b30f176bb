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

std::uint32_t ItemIds::Table::find(const ItemIds& ids, std::uint32_t Item::*field,
                                   std::string_view id) const {
    if (m_slots.empty())
        return kNone;
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t at = HashOf(id) & mask;; at = (at + 1) & mask) {
        const std::uint32_t slot = m_slots[at];
        if (slot == 0)
            return kNone;
        if (ids.text(ids.m_items[slot - 1].*field) == id)
            return slot - 1;
    }
}

void ItemIds::Table::insert(const ItemIds& ids, std::uint32_t Item::*field, std::uint32_t item) {
    // At most half full, so that a search ends soon.
    if (2 * (m_count + 1) > m_slots.size()) {
        std::vector<std::uint32_t> old(std::max<std::size_t>(64, 2 * m_slots.size()), 0);
        old.swap(m_slots);
        m_count = 0;
        for (const std::uint32_t slot : old)
            if (slot != 0)
                insert(ids, field, slot - 1);
    }
    const std::size_t mask = m_slots.size() - 1;
    std::size_t at = HashOf(ids.text(ids.m_items[item].*field)) & mask;
    while (m_slots[at] != 0)
        at = (at + 1) & mask;
    m_slots[at] = item + 1;
    ++m_count;
}

std::string_view ItemIds::text(std::uint32_t offset) const {
    const std::string& block = m_blocks[offset / kBlockBytes];
    const std::size_t at = offset % kBlockBytes;
    const auto size = static_cast<unsigned char>(block[at]);
    return std::string_view(block).substr(at + 1, size);
}

std::uint32_t ItemIds::store(std::string_view text) {
    // Every id is at most kMaxIdBytes and a suffix: its length fits the one byte, and it
    // fits a block.
    static_assert(kMaxIdBytes + 12 < 256 && 256 < kBlockBytes);
    if (m_blocks.empty() || m_blocks.back().size() + text.size() + 1 > kBlockBytes) {
        if (m_blocks.size() + 1 >= kNone / kBlockBytes)
            throw std::bad_alloc();
        m_blocks.emplace_back().reserve(kBlockBytes);
    }
    std::string& block = m_blocks.back();
    const auto offset =
        static_cast<std::uint32_t>((m_blocks.size() - 1) * kBlockBytes + block.size());
    block += static_cast<char>(text.size());
    block += text;
    return offset;
}

std::uint32_t ItemIds::take(Table& table, std::uint32_t Item::*field, std::uint32_t base,
                            std::uint32_t item) {
    const std::string_view wanted = text(base);
    const std::uint32_t holder = table.find(*this, field, wanted);
    std::uint32_t id = base;
    if (holder != kNone || IsCatalogueName(wanted)) {
        // Suffixes below the holder's next one are taken already: trying each again for
        // every later item of the same id would take time that grows with their square.
        std::uint32_t suffix = holder != kNone ? m_items[holder].nextSuffix : 2;
        std::string candidate;
        for (;; ++suffix) {
            candidate = std::string(text(base)) + "-" + std::to_string(suffix);
            if (table.find(*this, field, candidate) == kNone)
                break;
        }
        if (holder != kNone)
            m_items[holder].nextSuffix = suffix + 1;
        id = store(candidate);
    }
    m_items[item].*field = id;
    table.insert(*this, field, item);
    return id;
}

std::uint32_t ItemIds::baseOf(const Item& item) const {
    return item.granule != kNone && !(item.flags & kSharedGranule) ? item.granule : item.name;
}

std::string_view ItemIds::add(std::string_view granuleStem, std::string_view nameStem,
                              std::int32_t sceneNumber) {
    if (m_items.size() >= kNone - 1)
        throw std::bad_alloc();
    const auto index = static_cast<std::uint32_t>(m_items.size());
    Item& item = m_items.emplace_back();
    if (!granuleStem.empty()) {
        if (IsSafeId(granuleStem)) {
            const std::uint32_t earlier = m_granules.find(*this, &Item::granule, granuleStem);
            item.granule = store(granuleStem);
            if (earlier != kNone) {
                m_items[earlier].flags |= kSharedGranule;
                item.flags |= kSharedGranule;
            } else {
                m_granules.insert(*this, &Item::granule, index);
            }
        } else {
            item.flags |= kUnsafeGranule;
        }
    }
    if (item.granule != kNone && nameStem == granuleStem) {
        item.name = item.granule;
    } else if (IsSafeId(nameStem)) {
        item.name = store(nameStem);
    } else {
        item.flags |= kUnsafeName;
        item.name = store("scene-" + std::to_string(sceneNumber));
    }
    // An item whose granule ID turns out to be shared is given another id at the end.
    return text(take(m_taken, &Item::provisional, baseOf(item), index));
}

void ItemIds::finish() {
    m_taken.clear();
    for (Item& item : m_items)
        item.nextSuffix = 2;
    for (std::uint32_t index = 0; index < m_items.size(); ++index)
        take(m_taken, &Item::final, baseOf(m_items[index]), index);
    m_granules = Table();
}

std::string_view ItemIds::provisionalId(std::size_t item) const {
    return text(m_items[item].provisional);
}

std::string_view ItemIds::finalId(std::size_t item) const {
    return text(m_items[item].final);
}

std::string ItemIds::change(std::size_t index) const {
    const Item& item = m_items[index];
    std::string why;
    if (item.flags & kSharedGranule)
        why = "another listed file has the same granule ID";
    else if (item.flags & kUnsafeGranule)
        why = "its granule ID cannot name a folder";
    if ((item.flags & kUnsafeName) && baseOf(item) == item.name)
        why += std::string(why.empty() ? "" : ", and ") + "its file name cannot name a folder";
    const std::string_view base = text(baseOf(item));
    if (finalId(index) != base)
        why += std::string(why.empty() ? "" : ", and ") + std::string(base) +
               (IsCatalogueName(base) ? " is a name the catalogue gives its own file"
                                      : " is the id of an earlier item");
    return why;
}

} // namespace aster
