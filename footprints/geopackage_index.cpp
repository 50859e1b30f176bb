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
    return e.box[0] + e.box[1]; // twice the centre: only the order counts
}
template <typename Entry>
float CentreY(const Entry& e) {
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

// Appends `value` as `bytes` big-endian bytes, in hexadecimal.
void AppendHex(std::string& hex, std::uint64_t value, int bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) {
        hex += kDigits[(value >> (shift + 4)) & 15];
        hex += kDigits[(value >> shift) & 15];
    }
}

// A node as SQLite stores it, as an SQL blob literal: the tree's depth (read from the root
// only), the number of cells, then each cell's id and its four coordinates, all
// big-endian, padded with zeros to the node size.
std::string NodeBlob(const Node& node, int depth, std::size_t nodeBytes) {
    std::string hex;
    hex.reserve(2 * nodeBytes + 3);
    hex += "X'";
    AppendHex(hex, node.number == 1 ? static_cast<std::uint64_t>(depth) : 0, 2);
    AppendHex(hex, node.ids.size(), 2);
    for (std::size_t i = 0; i < node.ids.size(); ++i) {
        AppendHex(hex, static_cast<std::uint64_t>(node.ids[i]), 8);
        for (const float coordinate : node.boxes[i]) {
            std::uint32_t bits = 0;
            static_assert(sizeof bits == sizeof coordinate);
            std::memcpy(&bits, &coordinate, sizeof bits);
            AppendHex(hex, bits, 4);
        }
    }
    hex.append(2 * nodeBytes + 2 - hex.size(), '0');
    hex += '\'';
    return hex;
}

// Writes rows as multi-row INSERTs of at most `perStatement` rows.
bool InsertRows(GDALDataset& dataset, const std::string& table, const std::vector<std::string>& rows,
                std::size_t perStatement) {
    for (std::size_t start = 0; start < rows.size(); start += perStatement) {
        std::string sql = "INSERT OR REPLACE INTO " + QuotedName(table) + " VALUES ";
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

// Fills a table of (id, node) pairs: a feature and the leaf that holds it, or a node and
// its parent. Given as one JSON object, which SQLite takes apart in a single statement
// (as rows of VALUES each pair would cost its own compiled code), in the order of the
// ids, so that the table grows at its end.
bool InsertOwners(GDALDataset& dataset, const std::string& table,
                  std::vector<std::pair<std::int64_t, std::int64_t>> owners) {
    if (owners.empty())
        return true;
    std::sort(owners.begin(), owners.end());
    std::string json = "{";
    for (const auto& [id, node] : owners) {
        if (json.size() > 1)
            json += ',';
        json += '"';
        json += std::to_string(id);
        json += "\":";
        json += std::to_string(node);
    }
    json += '}';
    return Execute(dataset, "INSERT INTO " + QuotedName(table) +
                                " SELECT CAST(key AS INTEGER), value FROM json_each('" + json +
                                "')");
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
        std::vector<std::string> blobs;
        std::vector<std::pair<std::int64_t, std::int64_t>> leaves, parents;
        for (const Node& node : nodes) {
            std::string row = "(";
            row += std::to_string(node.number);
            row += ',';
            row += NodeBlob(node, height, nodeBytes);
            row += ')';
            blobs.push_back(std::move(row));
            for (const std::int64_t id : node.ids)
                (node.height == 0 ? leaves : parents).emplace_back(id, node.number);
        }
        if (!InsertRows(dataset, m_rtree + "_node", blobs, 64) ||
            !InsertOwners(dataset, m_rtree + "_rowid", std::move(leaves)) ||
            !InsertOwners(dataset, m_rtree + "_parent", std::move(parents)))
            return false;
    }
    for (const std::string& trigger : m_triggers)
        if (!Execute(dataset, trigger))
            return false;
    m_triggers.clear();
    return true;
}

} // namespace aster
