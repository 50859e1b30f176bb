#include "footprints/geopackage_index.h"

#include "footprints/sql_quoting.h"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string_view>

namespace aster {

namespace {

// SQLite's failure, reported as GDAL's, so that it reaches the run's messages.
bool Failed(sqlite3* db, const std::string& doing) {
    CPLError(CE_Failure, CPLE_AppDefined, "%s: %s", doing.c_str(), sqlite3_errmsg(db));
    return false;
}

struct Finalize {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, Finalize>;

Statement Prepare(sqlite3* db, const std::string& sql) {
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &statement, nullptr);
    return Statement(statement);
}

// SQLite's R-tree keeps 32-bit floats, rounded outwards so that a box never shrinks.
float Down(double value) {
    float f = static_cast<float>(value);
    if (f > value)
        f = std::nextafter(f, -std::numeric_limits<float>::infinity());
    return f;
}
float Up(double value) {
    float f = static_cast<float>(value);
    if (f < value)
        f = std::nextafter(f, std::numeric_limits<float>::infinity());
    return f;
}

// Twice a box's centre: only the order counts.
template <typename Entry> float CentreX(const Entry& e) {
    return e.box[0] + e.box[1];
}
template <typename Entry> float CentreY(const Entry& e) {
    return e.box[2] + e.box[3];
}

std::size_t NodesFor(std::size_t entries, std::size_t maxCells) {
    return (entries + maxCells - 1) / maxCells;
}

// Sort-tile-recursive packing of one level, in place: vertical slices by x, each cut by
// y into groups of at most maxCells, so that a node covers a compact patch of the map.
// Each group is handed to `node` as its first and last entry, in the order of the level.
template <typename Entries, typename Node>
void PackLevel(Entries& entries, std::size_t maxCells, Node&& node) {
    using Entry = typename Entries::value_type;
    const auto slices = static_cast<std::size_t>(
        std::ceil(std::sqrt(static_cast<double>(NodesFor(entries.size(), maxCells)))));
    const std::size_t perSlice = slices * maxCells;
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return CentreX(a) < CentreX(b); });
    for (std::size_t start = 0; start < entries.size(); start += perSlice) {
        const auto first = entries.begin() + static_cast<std::ptrdiff_t>(start);
        const auto last = entries.begin() +
                          static_cast<std::ptrdiff_t>(std::min(entries.size(), start + perSlice));
        std::sort(first, last,
                  [](const Entry& a, const Entry& b) { return CentreY(a) < CentreY(b); });
        for (auto group = first; group < last;) {
            const auto end = last - group > static_cast<std::ptrdiff_t>(maxCells)
                                 ? group + static_cast<std::ptrdiff_t>(maxCells)
                                 : last;
            node(group, end);
            group = end;
        }
    }
}

void PutBigEndian(unsigned char* at, std::uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i, value >>= 8)
        at[i] = static_cast<unsigned char>(value & 0xff);
}

// A node as SQLite stores it: the tree's depth (read from the root only), the number of
// cells, then each cell's id and its four coordinates, all big-endian, padded with zeros
// to the node size.
template <typename Iterator>
void NodeBytes(std::int64_t number, int depth, Iterator first, Iterator last,
               std::vector<unsigned char>& bytes) {
    std::fill(bytes.begin(), bytes.end(), 0);
    PutBigEndian(&bytes[0], number == 1 ? static_cast<std::uint64_t>(depth) : 0, 2);
    PutBigEndian(&bytes[2], static_cast<std::uint64_t>(last - first), 2);
    unsigned char* cell = &bytes[4];
    for (auto entry = first; entry != last; ++entry, cell += 24) {
        PutBigEndian(cell, static_cast<std::uint64_t>(entry->id), 8);
        for (std::size_t k = 0; k < 4; ++k) {
            std::uint32_t bits = 0;
            static_assert(sizeof bits == sizeof(float));
            std::memcpy(&bits, &entry->box[k], sizeof bits);
            PutBigEndian(cell + 8 + 4 * k, bits, 4);
        }
    }
}

template <typename Iterator> std::array<float, 4> BoundsOf(Iterator first, Iterator last) {
    std::array<float, 4> box = first->box;
    for (auto entry = first; entry != last; ++entry) {
        box[0] = std::min(box[0], entry->box[0]);
        box[1] = std::max(box[1], entry->box[1]);
        box[2] = std::min(box[2], entry->box[2]);
        box[3] = std::max(box[3], entry->box[3]);
    }
    return box;
}

// Once its leaf is written, an entry's box is needed no more: it keeps the leaf's number
// instead, so that the table from features to leaves is filled without a second copy of
// every entry.
template <typename Entry> void KeepLeaf(Entry& entry, std::int64_t leaf) {
    static_assert(sizeof entry.box >= sizeof leaf);
    std::memcpy(entry.box.data(), &leaf, sizeof leaf);
}
template <typename Entry> std::int64_t KeptLeaf(const Entry& entry) {
    std::int64_t leaf = 0;
    std::memcpy(&leaf, entry.box.data(), sizeof leaf);
    return leaf;
}

// Inserts (id, node) pairs into one of the index's tables, best in the order of the ids
// so that the table grows at its end.
class PairInserter {
  public:
    PairInserter(sqlite3* db, const std::string& table)
        : m_db(db), m_table(table),
          m_insert(Prepare(db, "INSERT INTO " + QuotedName(table) + " VALUES (?, ?)")) {}
    bool operator()(std::int64_t id, std::int64_t node) {
        if (!m_insert)
            return Failed(m_db, "cannot fill " + m_table);
        sqlite3_bind_int64(m_insert.get(), 1, id);
        sqlite3_bind_int64(m_insert.get(), 2, node);
        const bool done = sqlite3_step(m_insert.get()) == SQLITE_DONE;
        sqlite3_reset(m_insert.get());
        return done || Failed(m_db, "cannot fill " + m_table);
    }

  private:
    sqlite3* m_db;
    std::string m_table;
    Statement m_insert;
};

} // namespace

bool GeoPackageIndex::CanPack(GDALDataset& dataset) {
    return std::string_view(dataset.GetDriverName()) == "GPKG" &&
           dataset.GetInternalHandle("SQLITE_HANDLE") != nullptr;
}

bool GeoPackageIndex::prepare(GDALDataset& dataset, OGRLayer& layer) {
    m_db = static_cast<sqlite3*>(dataset.GetInternalHandle("SQLITE_HANDLE"));
    if (m_db == nullptr) {
        CPLError(CE_Failure, CPLE_AppDefined, "no SQLite connection to the GeoPackage");
        return false;
    }
    const std::string table = layer.GetName();
    const std::string column = layer.GetGeometryColumn();
    // Through GDAL, which then knows that the layer has its index.
    CPLErrorReset();
    OGRLayer* created = dataset.ExecuteSQL(
        ("SELECT CreateSpatialIndex(" + QuotedText(table) + ", " + QuotedText(column) + ")")
            .c_str(),
        nullptr, nullptr);
    if (created != nullptr)
        dataset.ReleaseResultSet(created);
    if (created == nullptr || CPLGetLastErrorType() >= CE_Failure)
        return false;
    m_rtree = "rtree_" + table + "_" + column;

    // The index's own triggers, by name: rtree_<table>_<column>_insert, _update1, ...
    const std::string prefix = m_rtree + "_";
    // SQLite's substr and length count characters, not bytes: a name such as "café" has
    // more bytes than characters.
    const Statement triggers = Prepare(
        m_db, "SELECT name, sql FROM sqlite_master WHERE type = 'trigger' AND substr(name, 1, "
              "length(" +
                  QuotedText(prefix) + ")) = " + QuotedText(prefix));
    if (!triggers)
        return Failed(m_db, "cannot find the triggers of " + m_rtree);
    std::vector<std::string> names;
    while (sqlite3_step(triggers.get()) == SQLITE_ROW) {
        names.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(triggers.get(), 0)));
        m_triggers.emplace_back(
            reinterpret_cast<const char*>(sqlite3_column_text(triggers.get(), 1)));
    }
    for (const std::string& name : names)
        if (sqlite3_exec(m_db, ("DROP TRIGGER " + QuotedName(name)).c_str(), nullptr, nullptr,
                         nullptr) != SQLITE_OK)
            return Failed(m_db, "cannot set aside " + name);
    return true;
}

void GeoPackageIndex::add(std::int64_t fid, const OGREnvelope& extent) {
    m_entries.push_back(
        Entry{fid, {Down(extent.MinX), Up(extent.MaxX), Down(extent.MinY), Up(extent.MaxY)}});
}

bool GeoPackageIndex::finish() {
    if (!m_entries.empty() && !writeTree())
        return false;
    for (const std::string& trigger : m_triggers)
        if (sqlite3_exec(m_db, trigger.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
            return Failed(m_db, "cannot restore a trigger of " + m_rtree);
    m_triggers.clear();
    return true;
}

// Level by level from the leaves up, each node written as it is packed; node 1 is the
// root, the others are numbered from 2 as they are made. Only the leaves are as many as
// the features; every level above holds a hundredth or so of the one below.
bool GeoPackageIndex::writeTree() {
    // The node size is what SQLite chose when it created the index's (empty) root.
    const Statement size = Prepare(m_db, "SELECT length(data) FROM " +
                                             QuotedName(m_rtree + "_node") + " WHERE nodeno = 1");
    if (!size || sqlite3_step(size.get()) != SQLITE_ROW)
        return Failed(m_db, "cannot read the root of " + m_rtree);
    const auto nodeBytes = static_cast<std::size_t>(sqlite3_column_int64(size.get(), 0));
    if (nodeBytes < 4 + 24 * 2) {
        CPLError(CE_Failure, CPLE_AppDefined, "unexpected node size in %s", m_rtree.c_str());
        return false;
    }
    const std::size_t maxCells = (nodeBytes - 4) / 24;

    const Statement insertNode =
        Prepare(m_db, "INSERT OR REPLACE INTO " + QuotedName(m_rtree + "_node") + " VALUES (?, ?)");
    if (!insertNode)
        return Failed(m_db, "cannot fill " + m_rtree);
    std::vector<unsigned char> bytes(nodeBytes);
    bool written = true;
    std::int64_t nextNumber = 2;
    std::vector<Entry> above;
    // Writes one node of the level at `height` and gives the level above its cell.
    auto writeNode = [&](bool root, int height, auto first, auto last) {
        const std::int64_t number = root ? 1 : nextNumber++;
        NodeBytes(number, height, first, last, bytes);
        sqlite3_bind_int64(insertNode.get(), 1, number);
        sqlite3_bind_blob(insertNode.get(), 2, bytes.data(), static_cast<int>(bytes.size()),
                          SQLITE_STATIC);
        written = written && sqlite3_step(insertNode.get()) == SQLITE_DONE;
        sqlite3_reset(insertNode.get());
        above.push_back(Entry{number, BoundsOf(first, last)});
        return number;
    };

    // A leaf's cells are features, found through _rowid.
    bool root = NodesFor(m_entries.size(), maxCells) == 1;
    PackLevel(m_entries, maxCells, [&](auto first, auto last) {
        const std::int64_t leaf = writeNode(root, 0, first, last);
        for (auto entry = first; entry != last; ++entry)
            KeepLeaf(*entry, leaf);
    });
    if (!written)
        return Failed(m_db, "cannot fill " + m_rtree);
    std::sort(m_entries.begin(), m_entries.end(),
              [](const Entry& a, const Entry& b) { return a.id < b.id; });
    PairInserter leaves(m_db, m_rtree + "_rowid");
    for (const Entry& entry : m_entries)
        if (!leaves(entry.id, KeptLeaf(entry)))
            return false;
    std::deque<Entry>().swap(m_entries);

    // Every other node's cells are its children, each of which finds its parent through
    // _parent.
    std::vector<std::pair<std::int64_t, std::int64_t>> parents;
    for (int height = 1; !root; ++height) {
        std::vector<Entry> level;
        level.swap(above);
        root = NodesFor(level.size(), maxCells) == 1;
        PackLevel(level, maxCells, [&](auto first, auto last) {
            const std::int64_t parent = writeNode(root, height, first, last);
            for (auto child = first; child != last; ++child)
                parents.emplace_back(child->id, parent);
        });
        if (!written)
            return Failed(m_db, "cannot fill " + m_rtree);
    }
    std::sort(parents.begin(), parents.end());
    PairInserter parentOf(m_db, m_rtree + "_parent");
    for (const auto& [child, parent] : parents)
        if (!parentOf(child, parent))
            return false;
    return true;
}

} // namespace aster
