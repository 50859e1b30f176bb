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

struct Node {
    std::int64_t number = 0;
    int height = 0; // 0 for a leaf
    std::vector<std::int64_t> ids;
    std::vector<std::array<float, 4>> boxes;
};

// Twice a box's centre: only the order counts.
template <typename Entry> float CentreX(const Entry& e) {
    return e.box[0] + e.box[1];
}
template <typename Entry> float CentreY(const Entry& e) {
    return e.box[2] + e.box[3];
}

// Sort-tile-recursive packing of one level: vertical slices by x, each cut by y into
// groups of at most maxCells, so that a node covers a compact patch of the map.
template <typename Entry>
std::vector<std::vector<Entry>> PackLevel(std::vector<Entry> entries, std::size_t maxCells) {
    const std::size_t nodes = (entries.size() + maxCells - 1) / maxCells;
    const auto slices = static_cast<std::size_t>(std::ceil(std::sqrt(static_cast<double>(nodes))));
    const std::size_t perSlice = slices * maxCells;
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return CentreX(a) < CentreX(b); });
    std::vector<std::vector<Entry>> groups;
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
            groups.emplace_back(group, end);
            group = end;
        }
    }
    return groups;
}

void PutBigEndian(unsigned char* at, std::uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i, value >>= 8)
        at[i] = static_cast<unsigned char>(value & 0xff);
}

// A node as SQLite stores it: the tree's depth (read from the root only), the number of
// cells, then each cell's id and its four coordinates, all big-endian, padded with zeros
// to the node size.
void NodeBytes(const Node& node, int depth, std::vector<unsigned char>& bytes) {
    std::fill(bytes.begin(), bytes.end(), 0);
    PutBigEndian(&bytes[0], node.number == 1 ? static_cast<std::uint64_t>(depth) : 0, 2);
    PutBigEndian(&bytes[2], node.ids.size(), 2);
    for (std::size_t i = 0; i < node.ids.size(); ++i) {
        unsigned char* cell = &bytes[4 + 24 * i];
        PutBigEndian(cell, static_cast<std::uint64_t>(node.ids[i]), 8);
        for (std::size_t k = 0; k < 4; ++k) {
            std::uint32_t bits = 0;
            static_assert(sizeof bits == sizeof(float));
            std::memcpy(&bits, &node.boxes[i][k], sizeof bits);
            PutBigEndian(cell + 8 + 4 * k, bits, 4);
        }
    }
}

// Fills a table of (id, node) pairs, in the order of the ids so that it grows at its end.
bool InsertPairs(sqlite3* db, const std::string& table,
                 std::vector<std::pair<std::int64_t, std::int64_t>> pairs) {
    std::sort(pairs.begin(), pairs.end());
    const Statement insert = Prepare(db, "INSERT INTO " + QuotedName(table) + " VALUES (?, ?)");
    if (!insert)
        return Failed(db, "cannot fill " + table);
    for (const auto& [id, node] : pairs) {
        sqlite3_bind_int64(insert.get(), 1, id);
        sqlite3_bind_int64(insert.get(), 2, node);
        if (sqlite3_step(insert.get()) != SQLITE_DONE)
            return Failed(db, "cannot fill " + table);
        sqlite3_reset(insert.get());
    }
    return true;
}

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
    if (!m_entries.empty()) {
        // The node size is what SQLite chose when it created the index's (empty) root.
        const Statement size =
            Prepare(m_db, "SELECT length(data) FROM " + QuotedName(m_rtree + "_node") +
                              " WHERE nodeno = 1");
        if (!size || sqlite3_step(size.get()) != SQLITE_ROW)
            return Failed(m_db, "cannot read the root of " + m_rtree);
        const auto nodeBytes = static_cast<std::size_t>(sqlite3_column_int64(size.get(), 0));
        if (nodeBytes < 4 + 24 * 2) {
            CPLError(CE_Failure, CPLE_AppDefined, "unexpected node size in %s", m_rtree.c_str());
            return false;
        }
        const std::size_t maxCells = (nodeBytes - 4) / 24;

        // Level by level from the leaves up; node 1 is the root, the others are numbered
        // from 2 as they are made.
        std::vector<Node> nodes;
        std::vector<Entry> level = std::move(m_entries);
        m_entries.clear();
        std::int64_t nextNumber = 2;
        int height = 0;
        while (true) {
            auto groups = PackLevel(std::move(level), maxCells);
            const bool root = groups.size() == 1;
            level.clear();
            for (const auto& group : groups) {
                Node node;
                node.number = root ? 1 : nextNumber++;
                node.height = height;
                std::array<float, 4> box = group.front().box;
                for (const Entry& entry : group) {
                    node.ids.push_back(entry.id);
                    node.boxes.push_back(entry.box);
                    box[0] = std::min(box[0], entry.box[0]);
                    box[1] = std::max(box[1], entry.box[1]);
                    box[2] = std::min(box[2], entry.box[2]);
                    box[3] = std::max(box[3], entry.box[3]);
                }
                level.push_back(Entry{node.number, box});
                nodes.push_back(std::move(node));
            }
            if (root)
                break;
            ++height;
        }

        // A leaf's cells are features, found through _rowid; every other node's cells are
        // its children, each of which finds its parent through _parent.
        const Statement insert = Prepare(
            m_db, "INSERT OR REPLACE INTO " + QuotedName(m_rtree + "_node") + " VALUES (?, ?)");
        if (!insert)
            return Failed(m_db, "cannot fill " + m_rtree);
        std::vector<unsigned char> bytes(nodeBytes);
        std::vector<std::pair<std::int64_t, std::int64_t>> leaves, parents;
        for (const Node& node : nodes) {
            NodeBytes(node, height, bytes);
            sqlite3_bind_int64(insert.get(), 1, node.number);
            sqlite3_bind_blob(insert.get(), 2, bytes.data(), static_cast<int>(bytes.size()),
                              SQLITE_STATIC);
            if (sqlite3_step(insert.get()) != SQLITE_DONE)
                return Failed(m_db, "cannot fill " + m_rtree);
            sqlite3_reset(insert.get());
            for (const std::int64_t id : node.ids)
                (node.height == 0 ? leaves : parents).emplace_back(id, node.number);
        }
        if (!InsertPairs(m_db, m_rtree + "_rowid", std::move(leaves)) ||
            !InsertPairs(m_db, m_rtree + "_parent", std::move(parents)))
            return false;
    }
    for (const std::string& trigger : m_triggers)
        if (sqlite3_exec(m_db, trigger.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
            return Failed(m_db, "cannot restore a trigger of " + m_rtree);
    m_triggers.clear();
    return true;
}

} // namespace aster
