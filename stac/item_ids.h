#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace aster {

// The ids of a catalogue's items, which are also the names of their folders and files.
//
// An item's id is its granule ID without a final ".hdf" when it has one that is a safe
// folder name and no other listed file has the same one; otherwise its file name without
// the last extension, and without a final ".hdf" after that; or, when that is no safe
// folder name either, "scene-N" for the scene's number in the list. Ids that are still
// taken, or that are a name of the catalogue's own (IsCatalogueName), get "-2", "-3"...
// in list order. Texts are UTF-8.
//
// Whether a granule ID is shared is known only once every item has been seen, so each
// item is first given a provisional id, the one it would have if no later item shared its
// granule ID, and finish() then works out the final ids. Only the ids are kept, some tens
// of bytes an item, in blocks that never move: a buffer that grew by copying would for a
// while hold every id twice.
class ItemIds {
  public:
    // The provisional id of the next item in list order. The view lasts until the next
    // call. `granuleStem` is empty when the file gives no granule ID.
    std::string_view add(std::string_view granuleStem, std::string_view nameStem,
                         std::int32_t sceneNumber);
    // Whether an earlier item had the granule ID of the item just added.
    bool granuleSeenBefore() const {
        return !m_items.empty() && (m_items.back().flags & kSharedGranule);
    }
    // Works out every item's final id.
    void finish();

    std::size_t size() const { return m_items.size(); }
    std::string_view provisionalId(std::size_t item) const;
    // After finish().
    std::string_view finalId(std::size_t item) const;
    // After finish(): why the final id is not the item's granule ID (or, for an item
    // without a granule ID, its name's), in a few words for --verbose; empty when it is.
    std::string change(std::size_t item) const;

  private:
    static constexpr std::uint32_t kNone = 0xFFFFFFFF;
    enum Flags : std::uint8_t {
        kSharedGranule = 1, // another item has the same granule ID
        kUnsafeGranule = 2, // the granule ID is no safe folder name
        kUnsafeName = 4,    // nor is the name's stem: the id falls back to the scene number
    };
    struct Item {
        std::uint32_t granule = kNone; // the safe granule stem, or kNone
        std::uint32_t name = kNone;    // the name's stem, or the scene-number id
        std::uint32_t provisional = kNone;
        std::uint32_t final = kNone;
        std::uint32_t nextSuffix = 2; // the suffix to try first for an id this item holds
        std::uint8_t flags = 0;
    };
    // An open-addressing set of items by one of their ids.
    class Table {
      public:
        // The item holding `id` by `field`, or kNone.
        std::uint32_t find(const ItemIds& ids, std::uint32_t Item::*field,
                           std::string_view id) const;
        void insert(const ItemIds& ids, std::uint32_t Item::*field, std::uint32_t item);
        void clear() { m_slots.assign(m_slots.size(), 0); m_count = 0; }

      private:
        std::vector<std::uint32_t> m_slots; // item + 1, 0 when free
        std::size_t m_count = 0;
    };

    std::string_view text(std::uint32_t offset) const;
    std::uint32_t store(std::string_view text);
    // The id for `base` not yet held by `field` of any item in `table`, stored.
    std::uint32_t take(Table& table, std::uint32_t Item::*field, std::uint32_t base,
                       std::uint32_t item);
    std::uint32_t baseOf(const Item& item) const;

    // Each text after one byte of its length, never across two blocks; an offset is the
    // block's number times kBlockBytes plus the place in it.
    static constexpr std::uint32_t kBlockBytes = 1 << 16;
    std::vector<std::string> m_blocks;
    std::deque<Item> m_items;
    Table m_granules;
    Table m_taken;
};

// Whether `id` may name a folder and a file: not empty, "." or "..", no leading ".", no
// "/" and no control character, at most kMaxIdBytes.
inline constexpr std::size_t kMaxIdBytes = 200;
bool IsSafeId(std::string_view id);

// Whether `id` is, but for case, a name a catalogue folder holds beside its items'
// folders: "collection.json", or a STAC catalog's "catalog.json". An item of such an id
// is given a suffix, as a second item of an id is, on any file system.
bool IsCatalogueName(std::string_view id);

// A metadata file's name without its last extension, and without a final ".hdf" (in any
// case) after that: "x.hdf.xml" gives "x".
std::string_view NameStem(std::string_view fileName);

} // namespace aster
