#include "footprints/earlier_geopackage.h"

#include "fileio/ascii.h"
#include "fileio/folder.h"
#include "fileio/utf8.h"

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <memory>
#include <set>
#include <sys/stat.h>

namespace aster {

namespace {

struct CloseDatabase {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using Database = std::unique_ptr<sqlite3, CloseDatabase>;

struct Finalize {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};

// SQLite compares names without regard to ASCII case.
std::string Lower(std::string_view name) {
    std::string lower(name);
    for (char& c : lower)
        c = AsciiLower(c);
    return lower;
}

// A file name as an SQLite URI: every byte but letters, digits and "/._~-" percent-encoded,
// so that "?", "#" and "%" in a name stay in the name.
std::string FileUri(const std::string& path) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string uri = "file:";
    // "file://" would begin a host name.
    std::size_t start = 0;
    while (path.size() - start > 1 && path[start] == '/' && path[start + 1] == '/')
        ++start;
    for (std::size_t i = start; i < path.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(path[i]);
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '/' || c == '.' || c == '_' || c == '~' || c == '-') {
            uri += char(c);
        } else {
            uri += '%';
            uri += kHex[c >> 4];
            uri += kHex[c & 15];
        }
    }
    return uri;
}

// Each row of `sql`, its columns as text (NULL as empty); false on SQLite's failure.
using Rows = std::vector<std::vector<std::string>>;
bool Query(sqlite3* db, const std::string& sql, Rows& rows) {
    sqlite3_stmt* prepared = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &prepared, nullptr) != SQLITE_OK)
        return false;
    const std::unique_ptr<sqlite3_stmt, Finalize> statement(prepared);
    int status = SQLITE_ROW;
    while ((status = sqlite3_step(prepared)) == SQLITE_ROW) {
        auto& row = rows.emplace_back();
        for (int i = 0; i < sqlite3_column_count(prepared); ++i) {
            const unsigned char* text = sqlite3_column_text(prepared, i);
            row.emplace_back(text ? reinterpret_cast<const char*>(text) : "");
        }
    }
    return status == SQLITE_DONE;
}

bool IsSystemTable(const std::string& lower) {
    return lower.starts_with("gpkg_") || lower.starts_with("rtree_") ||
           lower.starts_with("sqlite_") || lower == "layer_styles";
}

// The feature table that a layer of aster's at this name would be: the one named as the
// file is (`expected`), or else the one table the contents list beside the package's own
// (layer_styles is listed too); empty when there is no such table.
std::string TheLayer(const Rows& registered, const std::string& expected) {
    std::vector<const std::vector<std::string>*> tables;
    for (const auto& row : registered)
        if (!IsSystemTable(Lower(row[0])))
            tables.push_back(&row);
    const auto features = [](const std::vector<std::string>* row) {
        return Lower((*row)[1]) == "features";
    };
    for (const auto* row : tables)
        if (features(row) && Lower((*row)[0]) == Lower(expected))
            return (*row)[0];
    return tables.size() == 1 && features(tables[0]) ? (*tables[0])[0] : std::string();
}

// The styles in layer_styles that are not the one style of `layer`.
void ForeignStyles(sqlite3* db, const std::string& layer, std::vector<std::string>& foreign) {
    Rows styles;
    if (!Query(db, "SELECT f_table_name, styleName FROM layer_styles ORDER BY rowid", styles)) {
        foreign.push_back("the table layer_styles, which is not one of QGIS's");
        return;
    }
    bool ownSeen = false;
    for (const auto& style : styles) {
        const bool own = !layer.empty() && Lower(style[0]) == Lower(layer) && !ownSeen;
        ownSeen = ownSeen || own;
        if (!own)
            foreign.push_back("the style \"" + style[1] + "\" of " + style[0] + " in layer_styles");
    }
}

// What `db` holds beyond one layer and what goes with it.
bool ForeignContents(sqlite3* db, const std::string& expected, std::vector<std::string>& foreign) {
    Rows objects;
    if (!Query(db, "SELECT type, name, tbl_name FROM sqlite_master ORDER BY rowid", objects))
        return false;
    std::set<std::string> tables;
    for (const auto& object : objects)
        tables.insert(Lower(object[2]));
    Rows registered;
    if (tables.contains("gpkg_contents") &&
        !Query(db, "SELECT table_name, data_type FROM gpkg_contents ORDER BY rowid", registered))
        return false;
    const std::string layer = TheLayer(registered, expected);
    std::set<std::string> named;
    for (const auto& row : registered) {
        const std::string name = Lower(row[0]);
        if (name == Lower(layer) || IsSystemTable(name) || !named.insert(name).second)
            continue;
        foreign.push_back((Lower(row[1]) == "attributes" ? "the table " : "the layer ") + row[0]);
    }
    for (const auto& object : objects) {
        const std::string table = Lower(object[2]);
        if (table == Lower(layer) || IsSystemTable(table) || !named.insert(table).second)
            continue;
        // An index or a trigger is named by its table, once.
        foreign.push_back((object[0] == "view" ? "the view " : "the table ") + object[2]);
    }
    if (tables.contains("layer_styles"))
        ForeignStyles(db, layer, foreign);
    return true;
}

// The layer aster names after the file: its name without the last extension, as UTF-8.
std::string LayerNameOf(const std::string& path) {
    const std::string_view name = FileNameOf(path);
    const std::size_t dot = name.rfind('.');
    return Utf8FromBytes(dot == 0 || dot == name.npos ? name : name.substr(0, dot));
}

// "a, b and c", or the first few and how many more.
std::string Listed(const std::vector<std::string>& items) {
    constexpr std::size_t kShown = 8;
    const std::size_t shown = std::min(items.size(), kShown);
    std::string text;
    for (std::size_t i = 0; i < shown; ++i) {
        if (i > 0)
            text += i + 1 == shown && items.size() <= kShown ? " and " : ", ";
        text += items[i];
    }
    if (items.size() > kShown)
        text += " and " + std::to_string(items.size() - kShown) + " more";
    return text;
}

} // namespace

std::optional<Error> ReadForeignContents(const std::string& path, GeoPackageContents& contents) {
    contents.foreign.clear();
    sqlite3* opened = nullptr;
    // Immutable: no lock is taken and nothing is written beside it, not even the shared
    // memory file that reading a write-ahead-logged file read-only would leave.
    int status = sqlite3_open_v2((FileUri(path) + "?immutable=1").c_str(), &opened,
                                 SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
    const Database db(opened);
    if (status == SQLITE_OK && ForeignContents(db.get(), LayerNameOf(path), contents.foreign))
        return std::nullopt;
    if (db)
        status = sqlite3_extended_errcode(db.get());
    // A file that is no database holds no layers to lose.
    if ((status & 0xff) == SQLITE_NOTADB) {
        contents.foreign.clear();
        return std::nullopt;
    }
    return Error{EIO,
                 "Cannot tell what " + path + " holds, so it was not replaced: " +
                     (db ? sqlite3_errmsg(db.get()) : sqlite3_errstr(status)),
                 "Name another output, or move that file away first. Nothing was changed.",
                 ErrorKind::Other};
}

std::optional<Error> CheckEarlierGeoPackage(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    GeoPackageContents contents;
    if (auto error = ReadForeignContents(path, contents))
        return error;
    if (contents.foreign.empty())
        return std::nullopt;
    return Error{ENOTEMPTY,
                 "Not a layer that aster wrote, so not replaced: " + path + " holds " +
                     Listed(contents.foreign),
                 "Name another output, or take those out of it first. Nothing was changed.",
                 ErrorKind::Other};
}

} // namespace aster
