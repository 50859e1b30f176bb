#include "footprints/database_layer.h"

#include "footprints/first_files.h"

#include "fileio/ascii.h"
#include "fileio/folder.h"
#include "fileio/utf8.h"
#include "footprints/gdal_messages.h"
#include "footprints/layer_style.h"
#include "footprints/layer_writer.h"
#include "footprints/sql_quoting.h"
#include "footprints/vector_drivers.h"

#include <gdal_priv.h>
#include <ogrsf_frmts.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

namespace aster {

namespace {

// The comment that marks a table as this program's; a table without it is never touched.
constexpr std::string_view kMark = "aster footprints";
// Where the run's rows wait until they replace those of the table: a temporary table of
// the run's own session, gone with it.
constexpr std::string_view kStaging = "aster_staging";
constexpr std::string_view kGeometry = "geom";
// PostgreSQL cuts longer names (NAMEDATALEN - 1).
constexpr std::size_t kLongestName = 63;
constexpr std::string_view kLongestIndexSuffix = "_acquired_idx";

// Where a value libpq would read from text[at] ends: a quoted one after its closing
// quote (a backslash keeps the next character), another at a space or a URI's '&'.
std::size_t ValueEnd(std::string_view text, std::size_t at) {
    if (at < text.size() && text[at] == '\'') {
        for (++at; at < text.size(); ++at) {
            if (text[at] == '\\')
                ++at;
            else if (text[at] == '\'')
                return at + 1;
        }
        return text.size();
    }
    while (at < text.size() && !IsAsciiBlank(text[at]) && text[at] != '&')
        ++at;
    return at;
}

// "password", spaces, '=', spaces: where the value starts, or npos.
std::size_t PasswordValue(std::string_view text, std::size_t at) {
    if (!StartsWithNoCase(text.substr(at), "password"))
        return std::string_view::npos;
    at += 8;
    while (at < text.size() && IsAsciiBlank(text[at]))
        ++at;
    if (at >= text.size() || text[at] != '=')
        return std::string_view::npos;
    for (++at; at < text.size() && IsAsciiBlank(text[at]);)
        ++at;
    return at;
}

// After "://": where a URI's password starts and ends ("user:VALUE@host"), or npos.
std::pair<std::size_t, std::size_t> UriPassword(std::string_view text, std::size_t at) {
    std::size_t end = at;
    while (end < text.size() && !IsAsciiBlank(text[end]) && text[end] != '/' && text[end] != '?' &&
           text[end] != '#')
        ++end;
    const std::size_t atSign = text.substr(at, end - at).rfind('@');
    if (atSign == std::string_view::npos)
        return {std::string_view::npos, 0};
    const std::size_t colon = text.substr(at, atSign).find(':');
    if (colon == std::string_view::npos)
        return {std::string_view::npos, 0};
    return {at + colon + 1, at + atSign};
}

// GDAL's first line on a failed connection says only that it failed; libpq's reason
// follows it. GDAL's last word on it, that it creates no database, would hide that
// reason, so it is left out.
std::string CleanMessage(std::string_view message) {
    constexpr std::string_view kConnectFailed = "PQconnectdb failed.\n";
    if (message.starts_with(kConnectFailed))
        message.remove_prefix(kConnectFailed.size());
    if (message.find("doesn't currently support database creation") != std::string_view::npos)
        return {};
    // libpq quotes the word it could not read, which may be part of a password.
    if (message.find("in connection info string") != std::string_view::npos)
        return "libpq cannot read the connection string: a value holding a space or a quote "
               "goes in single quotes, with a backslash before each quote or backslash in it";
    return WithoutPasswords(message);
}

// The SQL type of a field of the layer.
const char* SqlType(OGRFieldType type) {
    switch (type) {
    case OFTInteger:
        return "integer";
    case OFTInteger64:
        return "bigint";
    case OFTReal:
        return "double precision";
    case OFTDate:
        return "date";
    case OFTDateTime:
        return "timestamp with time zone";
    case OFTTime:
        return "time";
    default:
        return "text";
    }
}

struct Column {
    std::string name;
    std::string type;
};

// The table's columns beyond its key: the layer's fields, the folder and the footprint.
std::vector<Column> TableColumns() {
    std::vector<Column> columns;
    for (const FieldKind& kind : kFields)
        columns.push_back({kind.name, SqlType(kind.type)});
    columns.push_back({"folder", "text"});
    columns.push_back({std::string(kGeometry), "geometry(MultiPolygon, 4326)"});
    return columns;
}

// The table given as "table" or "schema.table", checked and quoted.
struct TableName {
    std::string given;     // UTF-8, as the user wrote it
    std::string qualified; // as SQL names it
    std::string bare;      // the table's own name, unquoted
};

std::optional<Error> ParseTableName(std::string_view text, TableName& name) {
    name.given = Utf8FromBytes(text.empty() ? kDefaultTable : text);
    const std::size_t dot = name.given.find('.');
    const bool qualified = dot != std::string::npos;
    const std::string schema = qualified ? name.given.substr(0, dot) : "";
    name.bare = qualified ? name.given.substr(dot + 1) : name.given;
    const auto fits = [](const std::string& part, std::size_t longest) {
        return !part.empty() && part.size() <= longest && part.find('\0') == std::string::npos;
    };
    // The table's own index names add their suffix to its name, and PostgreSQL cuts a
    // longer name, which could then be another's.
    if (!fits(name.bare, kLongestName - kLongestIndexSuffix.size()) ||
        (qualified && !fits(schema, kLongestName)))
        return Error{EINVAL,
                     "The table name \"" + name.given +
                         "\" is not one PostgreSQL keeps as it is written, with its indexes",
                     "Name a table of 1 to " +
                         std::to_string(kLongestName - kLongestIndexSuffix.size()) +
                         " bytes, or schema.table with a schema of up to 63."};
    name.qualified =
        qualified ? QuotedName(schema) + "." + QuotedName(name.bare) : QuotedName(name.bare);
    return std::nullopt;
}

// The footprint table behind the scene run: the run's rows go into a temporary table
// through GDAL, then replace the table's in SQL, all in the transaction that publish()
// commits.
class DatabaseLayer final : public SceneWriter {
  public:
    DatabaseLayer(const std::string& folderPrefix, const FootprintOptions& options,
                  FootprintReport& report, SceneRunHost& host)
        : m_folderPrefix(folderPrefix), m_options(options), m_report(report), m_host(host) {}
    // GDAL commits an open transaction when it closes the connection: a run that did not
    // publish rolls back first.
    ~DatabaseLayer() override {
        if (m_inTransaction)
            m_writer->dataset().RollbackTransaction();
    }

    std::optional<Error> plan() override;
    std::optional<Error> start(const SceneRunHost& host) override;
    std::unique_ptr<Prepared> prepare(const Scene& scene, std::string& reason) override {
        return PrepareFootprint(scene, reason);
    }
    std::optional<Error> write(const Scene& scene, Prepared& prepared,
                               std::string& reason) override;
    std::optional<Error> complete(SceneRunHost& host) override;
    std::optional<Error> publish(SceneRunHost& host) override;
    const std::string& shownOutput() const override { return m_shown; }

  private:
    // Runs a statement; a result is released at once.
    std::optional<Error> execute(const std::string& sql, std::string_view what);
    // The first column of every row the query gives, null as nothing.
    std::optional<Error> query(const std::string& sql, std::string_view what,
                               std::vector<std::optional<std::string>>& values);
    // The table's oid as the system catalogues take it; null while there is no table.
    std::string tableOid() const { return "to_regclass(" + QuotedText(m_table.qualified) + ")"; }
    Error failed(std::string_view what) const;
    std::optional<Error> queryFlag(const std::string& sql, std::string_view what, bool& flag);
    std::optional<Error> lockTable();
    std::optional<Error> prepareTable();
    std::optional<Error> addMissingColumns();
    std::optional<Error> addIndexes();
    std::optional<Error> replaceRows();
    std::optional<Error> addStyle();

    const std::string& m_folderPrefix;
    const FootprintOptions& m_options;
    FootprintReport& m_report;
    SceneRunHost& m_host;
    std::string m_connection; // as GDAL opens it
    std::string m_shown;      // as messages show it: no password
    TableName m_table;
    std::string m_folder; // the folder column's value
    GDALDriver* m_driver = nullptr;
    GdalMessages m_messages;
    std::optional<LayerWriter> m_writer;
    bool m_inTransaction = false;
    std::string m_styleMissing; // why the table's style could not be added, if it could not
    std::int64_t m_rows = 0;
    FirstFiles m_firstFiles;
};

std::optional<Error> DatabaseLayer::plan() {
    const std::string& output = m_options.outputPath;
    m_connection =
        StartsWithNoCase(output, kDatabasePrefix) ? output : std::string(kDatabasePrefix) + output;
    m_shown = WithoutPasswords(m_connection);
    m_report.driverName = kDatabaseDriver;
    // The folder as the run names its files: the prefix without its separator.
    m_folder = Utf8FromPath(FolderOfPrefix(m_folderPrefix));
    if (auto error = ParseTableName(m_options.layerName, m_table))
        return error;
    RegisterGdalDrivers();
    m_driver = GetGDALDriverManager()->GetDriverByName(std::string(kDatabaseDriver).c_str());
    if (m_driver == nullptr)
        return Error{EINVAL, "This GDAL has no PostgreSQL driver to write " + m_shown,
                     "Install a GDAL built with PostgreSQL, or write a file."};
    return std::nullopt;
}

std::optional<Error> DatabaseLayer::execute(const std::string& sql, std::string_view what) {
    m_messages.clear();
    OGRLayer* result = m_writer->dataset().ExecuteSQL(sql.c_str(), nullptr, nullptr);
    if (result != nullptr)
        m_writer->dataset().ReleaseResultSet(result);
    if (m_messages.hasFailure())
        return failed(what);
    return std::nullopt;
}

// A query of one boolean value; GDAL gives PostgreSQL's boolean as 1 or 0.
std::optional<Error> DatabaseLayer::queryFlag(const std::string& sql, std::string_view what,
                                              bool& flag) {
    std::vector<std::optional<std::string>> values;
    if (auto error = query(sql, what, values))
        return error;
    flag = !values.empty() && values.front() && (*values.front() == "1" || *values.front() == "t");
    return std::nullopt;
}

// A statement the server refused: the transaction is rolled back, so nothing is changed.
Error DatabaseLayer::failed(std::string_view what) const {
    Error error = GdalError(what, m_shown, m_messages);
    error.hint = "Nothing in the database was changed. Check this user's rights on the table "
                 "and its schema; the server's log says more.";
    return error;
}

std::optional<Error> DatabaseLayer::query(const std::string& sql, std::string_view what,
                                          std::vector<std::optional<std::string>>& values) {
    m_messages.clear();
    GDALDataset& dataset = m_writer->dataset();
    OGRLayer* result = dataset.ExecuteSQL(sql.c_str(), nullptr, nullptr);
    if (result != nullptr) {
        for (const auto& row : *result)
            values.push_back(row->IsFieldSetAndNotNull(0)
                                 ? std::optional<std::string>(row->GetFieldAsString(0))
                                 : std::nullopt);
        dataset.ReleaseResultSet(result);
    }
    if (m_messages.hasFailure() || result == nullptr)
        return failed(what);
    return std::nullopt;
}

std::optional<Error> DatabaseLayer::start(const SceneRunHost& /*host*/) {
    // The granules go to a file where temporary files go: nothing is written beside the
    // scenes, and a database has no folder.
    const char* temporary = std::getenv("TMPDIR");
    if (auto error =
            m_firstFiles.open(temporary != nullptr && *temporary != '\0' ? temporary : "/tmp"))
        return error;
    m_messages.cleanWith(&CleanMessage);
    m_writer.emplace(*m_driver, m_shown, m_messages);
    LayerSettings settings;
    settings.spatialIndex = false;
    settings.layerOptions = {"TEMPORARY=YES", "GEOMETRY_NAME=" + std::string(kGeometry),
                             "SPATIAL_INDEX=NONE"};
    if (auto error = m_writer->create(m_connection, std::string(kStaging), settings)) {
        // The dataset is the connection: "could not create" would suggest a new database.
        const std::string created = "GDAL could not create " + m_shown;
        if (error->description.starts_with(created)) {
            error->description.replace(0, created.size(), "GDAL could not connect to " + m_shown);
            error->hint = "Check the connection's words (host, port, dbname, user) and that "
                          "the server runs and lets this user in: psql takes the same words.";
        }
        return error;
    }
    m_inTransaction = true;
    std::vector<std::optional<std::string>> postgis;
    if (auto error = query("SELECT extversion FROM pg_extension WHERE extname = 'postgis'",
                           "look for PostGIS in", postgis))
        return error;
    if (postgis.empty())
        return Error{EINVAL, "The database of " + m_shown + " has no PostGIS",
                     "Add it once, as the database's owner: CREATE EXTENSION postgis;"};
    if (auto error = execute("SET LOCAL standard_conforming_strings = on", "set up"))
        return error;
    if (auto error = lockTable())
        return error;
    return prepareTable();
}

// A second run into the table waits here until the first has committed or rolled back,
// asking again every tenth of a second so that a stop is heard while it waits.
std::optional<Error> DatabaseLayer::lockTable() {
    const std::string sql =
        "SELECT pg_try_advisory_xact_lock(hashtext(" + QuotedText(m_table.given) + "))";
    for (;;) {
        bool locked = false;
        if (auto error = queryFlag(sql, "lock the table " + m_table.given + " in", locked))
            return error;
        if (locked)
            return std::nullopt;
        if (m_host.cancelRequested())
            return Cancelled("Stopped while another run wrote into " + m_table.given +
                             ". Nothing was changed.");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

std::optional<Error> DatabaseLayer::prepareTable() {
    std::vector<std::optional<std::string>> comments;
    if (auto error = query("SELECT obj_description(c.oid, 'pg_class') FROM pg_class c WHERE "
                           "c.oid = " +
                               tableOid(),
                           "look for the table " + m_table.given + " in", comments))
        return error;
    if (!comments.empty()) {
        if (!comments.front() || !comments.front()->starts_with(kMark))
            return Error{EEXIST,
                         "The table " + m_table.given + " in " + m_shown +
                             " was not made by aster, so it was left as it is",
                         "Name another table, or remove this one if it is no longer needed."};
        return addMissingColumns();
    }
    // Every rerun gives its rows new keys: bigint, so they never run out.
    std::string create = "CREATE TABLE " + m_table.qualified + " (fid bigserial PRIMARY KEY";
    for (const Column& column : TableColumns())
        create += ", " + QuotedName(column.name) + " " + column.type;
    create += ")";
    if (auto error = execute(create, "create the table " + m_table.given + " in")) {
        error->hint = "Check that the table's schema exists and that this user may create "
                      "tables in it, or name another table.";
        return error;
    }
    if (auto error =
            execute("COMMENT ON TABLE " + m_table.qualified + " IS " +
                        QuotedText(std::string(kMark) + ": ASTER scene footprints, written by "
                                                        "aster; one row per granule"),
                    "mark the table " + m_table.given + " in"))
        return error;
    return addIndexes();
}

std::optional<Error> DatabaseLayer::addMissingColumns() {
    std::vector<std::optional<std::string>> names;
    if (auto error = query("SELECT attname FROM pg_attribute WHERE attrelid = " + tableOid() +
                               " AND attnum > 0 AND NOT attisdropped",
                           "read the columns of " + m_table.given + " in", names))
        return error;
    for (const Column& column : TableColumns()) {
        bool present = false;
        for (const auto& name : names)
            present = present || name == column.name;
        if (!present)
            if (auto error =
                    execute("ALTER TABLE " + m_table.qualified + " ADD COLUMN " +
                                QuotedName(column.name) + " " + column.type,
                            "add the column " + column.name + " to " + m_table.given + " in"))
                return error;
    }
    return addIndexes();
}

std::optional<Error> DatabaseLayer::addIndexes() {
    const std::string& table = m_table.bare;
    // Only the indexes the table lacks are made: making one, even IF NOT EXISTS, is for
    // the table's owner, and others of a team write into it too.
    std::vector<std::optional<std::string>> present;
    if (auto error = query("SELECT c.relname FROM pg_index i JOIN pg_class c ON c.oid = "
                           "i.indexrelid WHERE i.indrelid = " +
                               tableOid(),
                           "read the indexes of " + m_table.given + " in", present))
        return error;
    const std::pair<std::string, std::string> indexes[] = {
        {table + "_geom_idx", "INDEX {} ON {} USING GIST (" + QuotedName(kGeometry) + ")"},
        {table + "_granule_key", "UNIQUE INDEX {} ON {} (granule)"},
        {table + std::string(kLongestIndexSuffix), "INDEX {} ON {} (acquired)"},
        // Each run deletes its folder's rows first.
        {table + "_folder_idx", "INDEX {} ON {} (folder)"},
    };
    for (const auto& [name, shape] : indexes) {
        if (std::find(present.begin(), present.end(), std::optional(name)) != present.end())
            continue;
        std::string statement = "CREATE " + shape;
        statement.replace(statement.find("{}"), 2, QuotedName(name));
        statement.replace(statement.find("{}"), 2, m_table.qualified);
        if (auto error = execute(statement, "index the table " + m_table.given + " in"))
            return error;
    }
    return std::nullopt;
}

std::optional<Error> DatabaseLayer::write(const Scene& scene, Prepared& prepared,
                                          std::string& reason) {
    // A unique index would refuse a second row of a granule only at the end, and with it
    // the whole run: the first file in list order gives the row.
    if (const auto& granule = scene.metadata.granule) {
        std::optional<std::string> first;
        if (auto error = m_firstFiles.add(*granule, scene.fullPath, first))
            return error;
        if (first) {
            reason = "same granule as " + *first;
            return std::nullopt;
        }
    }
    if (auto error = m_writer->write(scene, static_cast<PreparedFootprint&>(prepared)))
        return error;
    ++m_rows;
    return std::nullopt;
}

std::optional<Error> DatabaseLayer::replaceRows() {
    const std::string staging = "pg_temp." + QuotedName(kStaging);
    // A run whose listed files all failed (a permission, a share gone), or whose list made
    // in memory found no file at all (a share not mounted, a pattern in the wrong case),
    // would remove every row of its folder: they are kept, and the run says so. A list
    // file with no line removes them, as it is meant to.
    if (m_rows == 0 && (m_report.skipped > 0 || m_options.listSearched())) {
        std::vector<std::optional<std::string>> count;
        if (auto error = query("SELECT count(*) FROM " + m_table.qualified +
                                   " WHERE folder = " + QuotedText(m_folder),
                               "count the rows of " + m_table.given + " in", count))
            return error;
        if (!count.empty() && count.front() && *count.front() != "0")
            return Error{ENODATA,
                         (m_report.skipped > 0
                              ? "No listed file of " + m_folder + " gave a footprint"
                              : "No file of " + m_folder + " was found to read") +
                             ", so its " + *count.front() + " rows in " + m_table.given +
                             " were kept as they are",
                         "Check that the folder is there (a share mounted) and readable; "
                         "--verbose names each file's reason. To remove the folder's rows, "
                         "delete them in the database: DELETE FROM " +
                             m_table.qualified + " WHERE folder = " + QuotedText(m_folder) + ";"};
    }
    std::string remove =
        "DELETE FROM " + m_table.qualified + " WHERE folder = " + QuotedText(m_folder);
    // Without a row the temporary table was never made.
    if (m_rows > 0)
        remove += " OR granule IN (SELECT granule FROM " + staging + ")";
    if (auto error = execute(remove, "replace the rows of " + m_table.given + " in"))
        return error;
    if (m_rows == 0)
        return std::nullopt;
    std::string names;
    std::string values;
    for (const Column& column : TableColumns()) {
        names += (names.empty() ? "" : ", ") + QuotedName(column.name);
        values += (values.empty() ? "" : ", ") +
                  (column.name == "folder" ? QuotedText(m_folder) : QuotedName(column.name));
    }
    return execute("INSERT INTO " + m_table.qualified + " (" + names + ") SELECT " + values +
                       " FROM " + staging + " ORDER BY ogc_fid",
                   "write the rows of " + m_table.given + " to");
}

std::optional<Error> DatabaseLayer::addStyle() {
    std::vector<std::optional<std::string>> schema;
    if (auto error = query("SELECT n.nspname FROM pg_class c JOIN pg_namespace n ON n.oid = "
                           "c.relnamespace WHERE c.oid = " +
                               tableOid(),
                           "find the schema of " + m_table.given + " in", schema))
        return error;
    if (schema.empty() || !schema.front())
        return GdalError("find the table " + m_table.given + " in", m_shown, m_messages);
    // The columns QGIS gives the table when it saves a style into a database; it finds a
    // table's default style by catalogue, schema, table and geometry column.
    const std::string create =
        "CREATE TABLE IF NOT EXISTS public.layer_styles (id serial PRIMARY KEY, "
        "f_table_catalog varchar, f_table_schema varchar, f_table_name varchar, "
        "f_geometry_column varchar, stylename text, styleqml xml, stylesld xml, "
        "useasdefault boolean, description text, owner varchar(63) DEFAULT CURRENT_USER, "
        "ui xml, update_time timestamp DEFAULT CURRENT_TIMESTAMP)";
    const std::string match =
        "f_table_catalog = current_database() AND f_table_schema = " + QuotedText(*schema.front()) +
        " AND f_table_name = " + QuotedText(m_table.bare) +
        " AND f_geometry_column = " + QuotedText(kGeometry);
    // A style saved for the table, the user's own or an earlier run's, is kept: asked for
    // first, since an INSERT that adds nothing still needs the right to add, which a
    // team's other members may lack.
    const std::string styled = "SELECT 1 FROM public.layer_styles WHERE " + match;
    const std::string kept = "SELECT EXISTS (" + styled + ")";
    const std::string insert =
        "INSERT INTO public.layer_styles (f_table_catalog, f_table_schema, f_table_name, "
        "f_geometry_column, stylename, styleqml, stylesld, useasdefault, description) SELECT "
        "current_database(), " +
        QuotedText(*schema.front()) + ", " + QuotedText(m_table.bare) + ", " +
        QuotedText(kGeometry) + ", " + QuotedText(m_table.bare) + ", " +
        QuotedText(FootprintStyleQml()) + ", " + QuotedText(FootprintStyleSld()) +
        ", true, 'Outlines only, no fill' WHERE NOT EXISTS (" + styled + ")";
    // The style is a help for QGIS, not the footprints: where this user may not add it
    // (public.layer_styles another's, or no right to create it), the rows are written all
    // the same, and the run says why the style is missing.
    if (auto error = execute("SAVEPOINT aster_style", "add the table's style to"))
        return error;
    // Made only where it is missing: making it, even IF NOT EXISTS, needs the right to
    // create tables in public, which a team's other members may lack.
    bool made = false;
    if (auto error = queryFlag("SELECT to_regclass('public.layer_styles') IS NOT NULL",
                               "add the table's style to", made))
        return error;
    bool there = false;
    std::optional<Error> error =
        execute("SELECT pg_advisory_xact_lock(hashtext('public.layer_styles'))",
                "add the table's style to");
    if (!error && !made)
        error = execute(create, "add the table's style to");
    if (!error)
        error = queryFlag(kept, "add the table's style to", there);
    if (!error && !there)
        error = execute(insert, "add the table's style to");
    if (error) {
        if (auto undone = execute("ROLLBACK TO SAVEPOINT aster_style", "add the table's style to"))
            return undone;
        m_styleMissing = error->description;
        return std::nullopt;
    }
    return execute("RELEASE SAVEPOINT aster_style", "add the table's style to");
}

std::optional<Error> DatabaseLayer::complete(SceneRunHost& host) {
    if (auto error = replaceRows())
        return error;
    if (auto error = addStyle())
        return error;
    if (!m_styleMissing.empty())
        host.notice("The footprints were written without their QGIS style: " + m_styleMissing);
    return std::nullopt;
}

std::optional<Error> DatabaseLayer::publish(SceneRunHost& /*host*/) {
    m_messages.clear();
    m_inTransaction = false;
    if (m_writer->dataset().CommitTransaction() != OGRERR_NONE || m_messages.hasFailure())
        return GdalError("commit the footprints to", m_shown, m_messages);
    return std::nullopt;
}

} // namespace

std::string WithoutPasswords(std::string_view text) {
    std::string shown;
    for (std::size_t at = 0; at < text.size();) {
        if (const std::size_t value = PasswordValue(text, at); value != std::string_view::npos) {
            shown += text.substr(at, value - at);
            shown += "***";
            at = ValueEnd(text, value);
            continue;
        }
        if (text.substr(at, 3) == "://") {
            const auto [from, to] = UriPassword(text, at + 3);
            if (from != std::string_view::npos) {
                shown += text.substr(at, from - at);
                shown += "***";
                at = to;
                continue;
            }
        }
        shown += text[at++];
    }
    return shown;
}

std::optional<Error> WriteDatabaseFootprints(const std::string& folderPrefix,
                                             const FootprintOptions& options,
                                             FootprintReport& report, SceneRunHost& host) {
    report = FootprintReport{};
    DatabaseLayer layer(folderPrefix, options, report, host);
    return RunScenes(
        {folderPrefix, options.readAhead, {options.listPath, true}, options.listSearched()}, layer,
        host, report);
}

} // namespace aster
