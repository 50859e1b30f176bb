#pragma once

#include "fileio/error.h"
#include "fileio/paged_file.h"

#include <cstddef>
#include <cstdint>
#include <optional>
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
// granule ID, and finish() then works out the final ids. The ids' texts and each item's
// record go to unnamed files beside the output; memory keeps one table of 8-byte slots,
// at most three quarters full, that finds an item by its granule ID or by the id it
// holds, and is filled again from the records when it grows. A run of a million items so
// keeps some 17 MB, not their texts.
//
// A failure of those files is kept (error()): the ids given after it are not to be
// relied on, and the caller looks before it publishes anything made with them.
class ItemIds {
  public:
    // Opens the unnamed files in `folder`; their failures name `shownAs`.
    std::optional<Error> open(const std::string& folder, const std::string& shownAs);
    const std::optional<Error>& error() const;

    // The provisional id of the next item in list order, for the scene of that number.
    // The view lasts until the next call. `granuleStem` is empty when the file gives no
    // granule ID.
    std::string_view add(std::string_view granuleStem, std::string_view nameStem,
                         std::int32_t sceneNumber);
    // Whether an earlier item had the granule ID of the item just added.
    bool granuleSeenBefore() const { return m_lastFlags & kSharedGranule; }
    // Works out every item's final id.
    void finish();

    std::size_t size() const { return m_count; }
    std::int32_t sceneNumber(std::size_t item);
    std::string provisionalId(std::size_t item);
    // After finish().
    std::string finalId(std::size_t item);
    // After finish(): whether the item's final id differs from its provisional one.
    bool changed(std::size_t item);
    // After finish(): why the final id is not the item's granule ID (or, for an item
    // without a granule ID, its name's), in a few words for --verbose; empty when it is.
    std::string change(std::size_t item);

  private:
    static constexpr std::uint32_t kNone = 0xFFFFFFFF;
    enum Flags : std::uint8_t {
        kSharedGranule = 1, // another item has the same granule ID
        kUnsafeGranule = 2, // the granule ID is no safe folder name
        kUnsafeName = 4,    // nor is the name's stem: the id falls back to the scene number
        kFirstOfGranule = 8, // no earlier item has the granule ID
    };
    // What an item's slots in the table find it by.
    enum Roles : std::uint64_t {
        kByGranule = 1, // the first item of its granule ID, by that ID
        kByTaken = 2,   // by the id it holds: its provisional one, then its final one
    };
    // An item's record; the texts are offsets in the texts' file.
    struct Item {
        std::uint32_t granule = kNone; // the safe granule stem, or kNone
        std::uint32_t name = kNone;    // the name's stem, or the scene-number id
        std::uint32_t provisional = kNone;
        std::uint32_t final = kNone;
        std::uint32_t nextSuffix = 2; // the suffix to try first for an id this item holds
        std::int32_t number = 0;
        std::uint8_t flags = 0;
        std::uint64_t granuleHash = 0; // of the granule stem, for the first item of it
        std::uint64_t takenHash = 0;   // of the id the table holds
    };

    Item record(std::uint32_t item);
    void put(std::uint32_t item, const Item& record);
    std::string text(std::uint32_t offset);
    std::uint32_t store(std::string_view text);

    // The item that `roles` finds by `id`, or kNone.
    std::uint32_t find(Roles role, std::string_view id);
    void insert(std::uint64_t hash, std::uint64_t roles, std::uint32_t item);
    // The slots that find the item numbered `index`.
    void insertSlotsOf(const Item& item, std::uint32_t index);
    void makeRoom(std::uint32_t items);
    // Gives `item` in `field` the id for `base` (whose text is `baseText`) that no item
    // holds yet, stored.
    void take(std::uint32_t Item::*field, std::uint32_t base, std::string_view baseText,
              Item& item);
    static std::uint32_t baseOf(const Item& item);
    // The item's final id, after finish().
    std::uint32_t finalOf(const Item& item) const {
        return m_finalIsProvisional ? item.provisional : item.final;
    }

    PagedFile m_texts; // each text after one byte of its length
    PagedFile m_items; // the records in list order
    std::uint64_t m_textBytes = 0;
    std::uint32_t m_count = 0;
    std::uint8_t m_lastFlags = 0;
    std::string m_lastId;
    // Each slot: 30 bits of the id's hash, the roles, then the item plus one; 0 when free.
    std::vector<std::uint64_t> m_slots;
    std::size_t m_used = 0;
    std::uint32_t Item::*m_taken = &Item::provisional; // the id the table holds
    // No granule ID was shared: finish() would give every item its provisional id again,
    // in the same steps, so it leaves the records as they are.
    bool m_anyShared = false;
    bool m_finalIsProvisional = false;
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
