#include "footprints/geopackage_index.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string_view>

namespace aster {

namespace {

std::string QuotedName(std::string_view name) {
    std::string quoted = "\"";
    for (const char c : name)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

std::string QuotedText(std::string_view text) {
    std::string quoted = "'";
    for (const char c : text)
        quoted += c == '\'' ? std::string("''") : std::string(1, c);
    return quoted + "'";
}

// Runs a statement; false when GDAL reported a failure.
bool Execute(GDALDataset& dataset, const std::string& sql) {
    CPLErrorReset();
    OGRLayer* result = dataset.ExecuteSQL(sql.c_str(), nullptr, nullptr);
    if (result != nullptr)
        dataset.ReleaseResultSet(result);
    return CPLGetLastErrorType() < CE_Failure;
}

// The rows of a query, each column as text.
bool Query(GDALDataset& dataset, const std::string& sql,
           std::vector<std::vector<std::string>>& rows) {
    CPLErrorReset();
    OGRLayer* result = dataset.ExecuteSQL(sql.c_str(), nullptr, nullptr);
    if (result == nullptr)
        return false;
    for (const auto& feature : *result) {
        std::vector<std::string> row;
        for (int i = 0; i < feature->GetFieldCount(); ++i)
            row.emplace_back(feature->GetFieldAsString(i));
        rows.push_back(std::move(row));
    }
    dataset.ReleaseResultSet(result);
    return CPLGetLastErrorType() < CE_Failure;
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

template <typename Entry>
float CentreX(const Entry& e) {
    return (e.box[0] + e.box[1]) / 2;
}
template <typename Entry>
float CentreY(const Entry& e) {
    return (e.box[2] + e.box[3]) / 2;
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
        const auto last =
            entries.begin() + static_cast<std::ptrdiff_t>(std::min(entries.size(), start + perSlice));
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
// cells, then each cell's id and its four coordinates, all big-endian, zero-padded to
// the node size. As hexadecimal for an SQL blob literal.
std::string NodeBlob(const Node& node, int depth, std::size_t nodeBytes) {
    std::vector<unsigned char> bytes(nodeBytes, 0);
    PutBigEndian(&bytes[0], node.number == 1 ? static_cast<std::uint64_t>(depth) : 0, 2);
    PutBigEndian(&bytes[2], node.ids.size(), 2);
    for (std::size_t i = 0; i < node.ids.size(); ++i) {
        unsigned char* cell = &bytes[4 + 24 * i];
        PutBigEndian(cell, static_cast<std::uint64_t>(node.ids[i]), 8);
        for (int k = 0; k < 4; ++k) {
            std::uint32_t bits = 0;
            static_assert(sizeof bits == sizeof(float));
            std::memcpy(&bits, &node.boxes[i][k], sizeof bits);
            PutBigEndian(cell + 8 + 4 * k, bits, 4);
        }
    }
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string hex;
    hex.reserve(2 * nodeBytes + 3);
    hex += "X'";
    for (const unsigned char b : bytes) {
        hex += kHex[b >> 4];
        hex += kHex[b & 15];
    }
    hex += '\'';
    return hex;
}

// Writes rows as multi-row INSERTs of at most `perStatement` rows.
bool InsertRows(GDALDataset& dataset, const std::string& table, const std::vector<std::string>& rows,
                std::size_t perStatement, bool replace) {
    for (std::size_t start = 0; start < rows.size(); start += perStatement) {
        std::string sql = std::string(replace ? "INSERT OR REPLACE" : "INSERT") + " INTO " +
                          QuotedName(table) + " VALUES ";
        for (std::size_t i = start; i < std::min(rows.size(), start + perStatement); ++i) {
            if (i > start)
                sql += ',';
            sql += rows[i];
        }
        if (!Execute(dataset, sql))
            return false;
    }
    return true;
}

} // namespace

bool GeoPackageIndex::prepare(GDALDataset& dataset, OGRLayer& layer) {
    const std::string table = layer.GetName();
    const std::string column = layer.GetGeometryColumn();
    std::vector<std::vector<std::string>> rows;
    if (!Query(dataset,
               "SELECT CreateSpatialIndex(" + QuotedText(table) + ", " + QuotedText(column) + ")",
               rows))
        return false;
    m_rtree = "rtree_" + table + "_" + column;
    rows.clear();
    // The index's own triggers, by name: rtree_<table>_<column>_insert, _update1...
    const std::string prefix = m_rtree + "_";
    if (!Query(dataset,
               "SELECT name, sql FROM sqlite_master WHERE type = 'trigger' AND substr(name, 1, " +
                   std::to_string(prefix.size()) + ") = " + QuotedText(prefix),
               rows))
        return false;
    for (const auto& row : rows) {
        if (row.size() != 2 || !Execute(dataset, "DROP TRIGGER " + QuotedName(row[0])))
            return false;
        m_triggers.push_back(row[1]);
    }
    return true;
}

void GeoPackageIndex::add(std::int64_t fid, const OGREnvelope& extent) {
    m_entries.push_back(
        Entry{fid, {Down(extent.MinX), Up(extent.MaxX), Down(extent.MinY), Up(extent.MaxY)}});
}

bool GeoPackageIndex::finish(GDALDataset& dataset) {
    if (!m_entries.empty()) {
        // The node size is what SQLite chose when it created the index's (empty) root.
        std::vector<std::vector<std::string>> rows;
        if (!Query(dataset,
                   "SELECT length(data) FROM " + QuotedName(m_rtree + "_node") +
                       " WHERE nodeno = 1",
                   rows))
            return false;
        const std::size_t nodeBytes =
            rows.size() == 1 && rows[0].size() == 1 ? std::stoul(rows[0][0]) : 0;
        if (nodeBytes < 4 + 24 * 2) {
            CPLError(CE_Failure, CPLE_AppDefined, "unexpected R-tree node size in %s",
                     m_rtree.c_str());
            return false;
        }
        const std::size_t maxCells = (nodeBytes - 4) / 24;

        // Level by level from the leaves up; node 1 is the root, the others are numbered
        // from 2 as they are made.
        std::vector<Node> nodes;
        std::vector<std::string> rowids, parents;
        rowids.reserve(m_entries.size());
        std::vector<Entry> level = std::move(m_entries);
        m_entries.clear();
        std::int64_t nextNumber = 2;
        int height = 0;
        while (true) {
            auto groups = PackLevel(std::move(level), maxCells);
            const bool root = groups.size() == 1;
            level.clear();
            for (auto& group : groups) {
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
                    const std::string pair = "(" + std::to_string(entry.id) + "," +
                                             std::to_string(node.number) + ")";
                    (height == 0 ? rowids : parents).push_back(pair);
                }
                level.push_back(Entry{node.number, box});
                nodes.push_back(std::move(node));
            }
            if (root)
                break;
            ++height;
        }
        std::vector<std::string> blobs;
        blobs.reserve(nodes.size());
        for (const Node& node : nodes)
            blobs.push_back("(" + std::to_string(node.number) + "," +
                            NodeBlob(node, height, nodeBytes) + ")");
        if (!InsertRows(dataset, m_rtree + "_node", blobs, 64, true) ||
            !InsertRows(dataset, m_rtree + "_rowid", rowids, 400, false) ||
            !InsertRows(dataset, m_rtree + "_parent", parents, 400, false))
            return false;
    }
    for (const std::string& trigger : m_triggers)
        if (!Execute(dataset, trigger))
            return false;
    m_triggers.clear();
    return true;
}

} // namespace aster
