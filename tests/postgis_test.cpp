// The footprint table against a real PostgreSQL server with PostGIS, started for these
// tests from Debian's packages (postgresql-15, postgresql-15-postgis-3) in a scratch
// folder, reached by a Unix socket there and no TCP port, and stopped at the end.

#include "fileio/folder.h"
#include "footprints/database_layer.h"
#include "footprints/layer_style.h"
#include "granule_samples.h"
#include "test_support.h"

#include <gdal_priv.h>
#include <gtest/gtest.h>
#include <ogrsf_frmts.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <pwd.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace aster {
namespace {

using test::TempFolder;

// From the root folder, which the server's user may always enter.
int Run(const std::string& command) {
    return std::system(("cd / && " + command).c_str());
}

// A server of its own: initdb into a scratch folder, as the unprivileged `nobody` when
// the tests run as root (postgres refuses root), started on a socket in that folder.
class PostgresServer final : public ::testing::Environment {
  public:
    void SetUp() override {
        const std::string bin = ServerPrograms();
        if (bin.empty()) {
            m_skip = "no PostgreSQL server programs (install postgresql-15)";
            return;
        }
        if (!std::filesystem::exists(bin + "/../../../../share/postgresql/" + Version(bin) +
                                     "/extension/postgis.control")) {
            m_skip =
                "no PostGIS for PostgreSQL " + Version(bin) + " (install postgresql-15-postgis-3)";
            return;
        }
        std::string pattern = std::filesystem::temp_directory_path().string() + "/aster-pg-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            m_skip = "no scratch folder for the server";
            return;
        }
        m_dir = pattern;
        std::string as;
        if (::geteuid() == 0) {
            const passwd* nobody = ::getpwnam("nobody");
            if (nobody == nullptr || ::chown(m_dir.c_str(), nobody->pw_uid, nobody->pw_gid) != 0) {
                m_skip = "running as root, and no user `nobody` to run the server as";
                return;
            }
            as = "runuser -u nobody -- ";
        }
        ::chmod(m_dir.c_str(), 0755);
        m_pgCtl = as + bin + "/pg_ctl -D " + m_dir + "/data";
        const std::string log = " >>" + m_dir + "/server.log 2>&1";
        if (Run(as + bin + "/initdb -D " + m_dir + "/data -A trust -U aster -E UTF8 --no-sync" +
                log) != 0 ||
            Run(m_pgCtl + " -w -l " + m_dir + "/data/log.txt -o \"-k " + m_dir +
                " -c listen_addresses='' -c fsync=off\" start" + log) != 0) {
            m_skip = "the server did not start; see " + m_dir + "/server.log";
            return;
        }
        m_started = true;
        if (Run("psql -X -q -h " + m_dir + " -U aster -d postgres -c 'CREATE DATABASE aster'" +
                log) != 0 ||
            Sql("CREATE EXTENSION postgis; SELECT 'ok'") != "ok")
            m_skip = "no database with PostGIS; see " + m_dir + "/server.log";
    }

    void TearDown() override {
        if (m_started)
            Run(m_pgCtl + " -m immediate stop >/dev/null 2>&1");
        if (!m_dir.empty())
            std::filesystem::remove_all(m_dir);
    }

    const std::string& skipReason() const { return m_skip; }
    std::string connection() const { return "PG:host=" + m_dir + " user=aster dbname=aster"; }

    // The rows of a query through psql, '|' between values and a line each.
    std::string Sql(const std::string& sql) const {
        const std::string command = "psql -X -q -At -h " + m_dir +
                                    " -U aster -d aster -v ON_ERROR_STOP=1 2>&1 <<'END_SQL'\n" +
                                    sql + "\nEND_SQL";
        std::string out;
        const std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
        char buffer[4096];
        for (std::size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0;)
            out.append(buffer, n);
        while (!out.empty() && out.back() == '\n')
            out.pop_back();
        return out;
    }

  private:
    // The newest server version's programs, or nothing.
    static std::string ServerPrograms() {
        std::string best;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", ec))
            if (std::filesystem::exists(entry.path() / "bin/initdb") &&
                entry.path().string() > best)
                best = entry.path().string();
        return best.empty() ? best : best + "/bin";
    }
    static std::string Version(const std::string& bin) {
        return std::filesystem::path(bin).parent_path().filename().string();
    }

    std::string m_dir;
    std::string m_pgCtl;
    std::string m_skip;
    bool m_started = false;
};

PostgresServer* const g_server =
    static_cast<PostgresServer*>(::testing::AddGlobalTestEnvironment(new PostgresServer));

class RecordingHost final : public SceneRunHost {
  public:
    // Stops at the `stopAt`th question: one is asked after each listed file, and one
    // more once the rows are in place but not committed.
    explicit RecordingHost(int stopAt = 0) : m_stopAt(stopAt) {}
    bool cancelRequested() override { return ++m_asked == m_stopAt; }
    void skipped(std::string_view path, std::string_view reason) override {
        skips.emplace_back(std::string(path), std::string(reason));
    }
    void notice(std::string_view text) override { notices.emplace_back(text); }
    std::vector<std::pair<std::string, std::string>> skips;
    std::vector<std::string> notices;

  private:
    int m_stopAt;
    int m_asked = 0;
};

// A granule's ODL under an ID of its own.
std::string Granule(const std::string& id) {
    std::string text = test::GranuleOdl();
    const std::string given = "AST_L1B_00304122003183207_20030413120012_12345";
    text.replace(text.find(given), given.size(), id);
    return text;
}

class PostgisTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!g_server->skipReason().empty())
            GTEST_SKIP() << g_server->skipReason();
    }

    // Writes each scene as NAME.met holding granule ID, and the list of them in order.
    static void Folder(const std::string& folder,
                       const std::vector<std::pair<std::string, std::string>>& scenes) {
        std::filesystem::create_directories(folder);
        std::string list;
        for (const auto& [name, id] : scenes) {
            Save(folder + "/" + name, Granule(id));
            list += name + "\r\n";
        }
        Save(folder + "/filelist.txt", list);
    }
    static void Folder(const TempFolder& folder,
                       const std::vector<std::pair<std::string, std::string>>& scenes) {
        Folder(folder.path(), scenes);
    }
    static void Save(const std::string& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }

    std::optional<Error> Write(const std::string& folder, const std::string& table,
                               RecordingHost& host, std::string connection = {}) {
        FootprintOptions options;
        options.outputPath = connection.empty() ? g_server->connection() : connection;
        options.layerName = table;
        return WriteFootprints(FolderPrefix(folder), options, m_report, host);
    }
    std::optional<Error> Write(const TempFolder& folder, const std::string& table,
                               RecordingHost& host, std::string connection = {}) {
        return Write(folder.path(), table, host, std::move(connection));
    }
    std::optional<Error> Write(const std::string& folder, const std::string& table) {
        RecordingHost host;
        return Write(folder, table, host);
    }
    std::optional<Error> Write(const TempFolder& folder, const std::string& table) {
        RecordingHost host;
        return Write(folder, table, host);
    }

    // granule@folder-name of every row, in granule order.
    static std::string Rows(const std::string& table) {
        return g_server->Sql("SELECT string_agg(granule || '@' || regexp_replace(folder, '.*/', "
                             "''), ' ' ORDER BY granule) FROM " +
                             table);
    }

    FootprintReport m_report;
};

TEST_F(PostgisTest, RerunsReplaceTheFolderAndTheGranulesRead) {
    const TempFolder a;
    // A quote and a Latin-1 byte in the other folder's name: SQL quoting, UTF-8.
    const TempFolder base;
    const std::string b = base.path() + "/it's \xe9t\xe9";
    const std::string nameA = std::filesystem::path(a.path()).filename().string();
    const std::string nameB = "it's \xc3\xa9t\xc3\xa9";
    // d.met repeats b.met's granule, as an .hdf.xml beside a .met does.
    Folder(a, {{"a.met", "GA"}, {"b.met", "GB"}, {"c.met", "GC"}, {"d.met", "GB"}});
    RecordingHost host;
    ASSERT_FALSE(Write(a, "", host));
    EXPECT_EQ(m_report.written, 3);
    EXPECT_EQ(m_report.skipped, 1);
    ASSERT_EQ(host.skips.size(), 1u);
    EXPECT_EQ(host.skips[0].first, a.file("d.met"));
    EXPECT_EQ(host.skips[0].second, "same granule as " + a.file("b.met"));
    EXPECT_EQ(Rows("aster_footprints"), "GA@" + nameA + " GB@" + nameA + " GC@" + nameA);
    EXPECT_EQ(g_server->Sql("SELECT path, folder FROM aster_footprints WHERE granule = 'GB'"),
              a.file("b.met") + "|" + a.path());
    EXPECT_EQ(g_server->Sql("SELECT ST_SRID(geom) || GeometryType(geom) FROM aster_footprints "
                            "LIMIT 1"),
              "4326MULTIPOLYGON");
    EXPECT_EQ(g_server->Sql("SELECT string_agg(indexdef, ' ' ORDER BY indexname) ~ "
                            "'gist \\(geom\\).*UNIQUE.*\\(granule\\)' FROM pg_indexes WHERE "
                            "tablename = 'aster_footprints'"),
              "t");

    ASSERT_FALSE(Write(a, ""));
    EXPECT_EQ(g_server->Sql("SELECT count(*) FROM aster_footprints"), "3");

    // A file added, then one removed from the list.
    Folder(a, {{"a.met", "GA"}, {"b.met", "GB"}, {"c.met", "GC"}, {"e.met", "GE"}});
    ASSERT_FALSE(Write(a, ""));
    EXPECT_EQ(Rows("aster_footprints"),
              "GA@" + nameA + " GB@" + nameA + " GC@" + nameA + " GE@" + nameA);
    Folder(a, {{"b.met", "GB"}, {"c.met", "GC"}, {"e.met", "GE"}});
    ASSERT_FALSE(Write(a, ""));
    EXPECT_EQ(Rows("aster_footprints"), "GB@" + nameA + " GC@" + nameA + " GE@" + nameA);

    // Another folder keeps the first one's rows, but takes the granule it read too.
    Folder(b, {{"x.met", "GX"}, {"c.met", "GC"}});
    ASSERT_FALSE(Write(b, ""));
    EXPECT_EQ(Rows("aster_footprints"),
              "GB@" + nameA + " GC@" + nameB + " GE@" + nameA + " GX@" + nameB);

    // A folder whose list is empty now keeps no row.
    Folder(b, {});
    ASSERT_FALSE(Write(b, ""));
    EXPECT_EQ(Rows("aster_footprints"), "GB@" + nameA + " GE@" + nameA);
    Folder(b, {{"x.met", "GX"}, {"c.met", "GC"}});
    ASSERT_FALSE(Write(b, ""));

    // One style row, QGIS's way, however often the table is written.
    EXPECT_EQ(g_server->Sql("SELECT count(*), bool_and(useasdefault), "
                            "min(f_table_catalog || '.' || f_table_schema || '.' || "
                            "f_geometry_column) FROM layer_styles WHERE f_table_name = "
                            "'aster_footprints'"),
              "1|t|aster.public.geom");
    EXPECT_EQ(g_server->Sql("SELECT styleqml::text FROM layer_styles WHERE f_table_name = "
                            "'aster_footprints'"),
              std::string(FootprintStyleQml()).substr(0, FootprintStyleQml().size() - 1));

    // GDAL reads the table as a layer, and lists no table without geometry.
    GDALAllRegister();
    const GDALDatasetUniquePtr dataset(GDALDataset::Open(
        g_server->connection().c_str(), GDAL_OF_VECTOR, nullptr, nullptr, nullptr));
    ASSERT_TRUE(dataset);
    OGRLayer* layer = dataset->GetLayerByName("aster_footprints");
    ASSERT_NE(layer, nullptr);
    EXPECT_EQ(layer->GetFeatureCount(), 4);
    for (int i = 0; i < dataset->GetLayerCount(); ++i)
        EXPECT_STRNE(dataset->GetLayer(i)->GetName(), "layer_styles");
}

TEST_F(PostgisTest, AStoppedRunChangesNothing) {
    const TempFolder folder;
    Folder(folder, {{"a.met", "SA"}, {"b.met", "SB"}});
    ASSERT_FALSE(Write(folder, "stopped"));
    const std::string before = g_server->Sql("SELECT * FROM stopped ORDER BY fid");
    Folder(folder, {{"c.met", "SC"}, {"d.met", "SD"}, {"e.met", "SE"}});
    for (const int stopAt : {1, 4}) { // mid-list, and right before publishing
        RecordingHost host(stopAt);
        const auto error = Write(folder, "stopped", host);
        ASSERT_TRUE(error);
        EXPECT_TRUE(IsCancellation(*error)) << error->description;
        EXPECT_EQ(g_server->Sql("SELECT * FROM stopped ORDER BY fid"), before);
    }
    // A first run into a new table that stops leaves no table.
    RecordingHost host(1);
    ASSERT_TRUE(Write(folder, "never_made", host));
    EXPECT_EQ(g_server->Sql("SELECT to_regclass('never_made') IS NULL"), "t");

    // A stop is heard while another run holds the table.
    std::thread other(
        [] { g_server->Sql("SELECT pg_advisory_lock(hashtext('stopped')); SELECT pg_sleep(3)"); });
    while (g_server->Sql("SELECT count(*) FROM pg_locks WHERE locktype = 'advisory'") != "1")
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    RecordingHost waiting(1);
    const auto error = Write(folder, "stopped", waiting);
    other.join();
    ASSERT_TRUE(error);
    EXPECT_TRUE(IsCancellation(*error));
    EXPECT_EQ(error->description,
              "Stopped while another run wrote into stopped. Nothing was changed.");
    EXPECT_EQ(g_server->Sql("SELECT * FROM stopped ORDER BY fid"), before);
}

TEST_F(PostgisTest, TwoRunsAtOnceTakeTurns) {
    // Without the lock, the later run's rows would meet the earlier's in the unique index
    // and fail it; with it, each replaces the other's whole.
    const TempFolder folder;
    std::vector<std::pair<std::string, std::string>> scenes;
    for (int i = 0; i < 300; ++i)
        scenes.emplace_back("s" + std::to_string(i) + ".met", "C" + std::to_string(i));
    Folder(folder, scenes);
    std::optional<Error> errors[2];
    FootprintReport reports[2];
    std::vector<std::thread> runs;
    for (int i = 0; i < 2; ++i)
        runs.emplace_back([&, i] {
            FootprintOptions options;
            options.outputPath = g_server->connection();
            options.layerName = "together";
            RecordingHost host;
            errors[i] = WriteFootprints(FolderPrefix(folder.path()), options, reports[i], host);
        });
    for (std::thread& run : runs)
        run.join();
    for (const auto& error : errors)
        EXPECT_FALSE(error) << error->description;
    EXPECT_EQ(g_server->Sql("SELECT count(*), count(DISTINCT granule) FROM together"), "300|300");
}

TEST_F(PostgisTest, ATableNotMadeByAsterIsLeftAsItIs) {
    g_server->Sql("CREATE TABLE theirs (x integer); INSERT INTO theirs VALUES (7); "
                  "COMMENT ON TABLE theirs IS 'their own'");
    const TempFolder folder;
    Folder(folder, {{"a.met", "TA"}});
    const auto error = Write(folder, "theirs");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, EEXIST);
    EXPECT_NE(error->description.find("not made by aster"), std::string::npos);
    EXPECT_EQ(g_server->Sql("SELECT string_agg(attname, ',') FROM pg_attribute WHERE attrelid = "
                            "'theirs'::regclass AND attnum > 0"),
              "x");
    EXPECT_EQ(g_server->Sql("SELECT * FROM theirs"), "7");
    // No style either, nor a style table in a database that had none.
    if (g_server->Sql("SELECT to_regclass('public.layer_styles') IS NOT NULL") == "t") {
        EXPECT_EQ(g_server->Sql("SELECT count(*) FROM layer_styles WHERE f_table_name = "
                                "'theirs'"),
                  "0");
    }
}

TEST_F(PostgisTest, AnOlderTableGainsTheColumnsItLacksAndKeepsItsOwn) {
    g_server->Sql("CREATE SCHEMA older; CREATE TABLE older.scenes (fid serial PRIMARY KEY, "
                  "granule text, folder text, note text, geom geometry(MultiPolygon, 4326)); "
                  "COMMENT ON TABLE older.scenes IS 'aster footprints'; "
                  "INSERT INTO older.scenes (granule, folder, note) VALUES ('elsewhere', "
                  "'/nowhere', 'kept')");
    const TempFolder folder;
    Folder(folder, {{"a.met", "OA"}});
    ASSERT_FALSE(Write(folder, "older.scenes"));
    EXPECT_EQ(g_server->Sql("SELECT string_agg(granule || ':' || coalesce(note, '-') || ':' || "
                            "coalesce(acquired::date::text, '-'), ' ' ORDER BY granule) FROM "
                            "older.scenes"),
              "OA:-:2003-04-12 elsewhere:kept:-");
    EXPECT_EQ(g_server->Sql("SELECT f_table_schema FROM layer_styles WHERE f_table_name = "
                            "'scenes'"),
              "older");
    // A schema that is not there is named, with what to check.
    const auto error = Write(folder, "nowhere.scenes");
    ASSERT_TRUE(error);
    EXPECT_NE(error->description.find("schema \"nowhere\" does not exist"), std::string::npos)
        << error->description;
    EXPECT_NE(error->hint.find("schema exists"), std::string::npos);
}

// A team's table: another member writes its rows without owning it or being let add
// its style; a folder whose files all fail keeps its rows; a read-only session is named
// for what it refused; a name too long for its indexes is refused.
TEST_F(PostgisTest, ATeamsTableWrittenByOthersAndKeptWhenNothingIsRead) {
    const TempFolder a;
    const std::string name = std::filesystem::path(a.path()).filename().string();
    Folder(a, {{"a.met", "TA"}, {"b.met", "TB"}});
    ASSERT_FALSE(Write(a, "team"));
    g_server->Sql("CREATE ROLE writer LOGIN; GRANT SELECT, INSERT, UPDATE, DELETE ON team TO "
                  "writer; GRANT USAGE ON SEQUENCE team_fid_seq TO writer; CREATE ROLE reader "
                  "LOGIN; ALTER ROLE reader SET default_transaction_read_only = on; GRANT ALL ON "
                  "team, layer_styles TO reader; GRANT ALL ON SEQUENCE team_fid_seq TO reader;");
    g_server->Sql("DELETE FROM layer_styles WHERE f_table_name = 'team'");
    const auto as = [](const std::string& user) {
        std::string connection = g_server->connection();
        return connection.replace(connection.find("user=aster"), 10, "user=" + user);
    };
    Folder(a, {{"a.met", "TA"}, {"c.met", "TC"}});
    RecordingHost host;
    const auto written = Write(a, "team", host, as("writer"));
    ASSERT_FALSE(written) << written->description;
    EXPECT_EQ(Rows("team"), "TA@" + name + " TC@" + name);
    ASSERT_EQ(host.notices.size(), 1u);
    EXPECT_NE(host.notices[0].find("without their QGIS style"), std::string::npos);
    // Once the owner's run has added it, a member who may read it is told nothing.
    ASSERT_FALSE(Write(a, "team"));
    g_server->Sql("GRANT SELECT ON layer_styles TO writer");
    RecordingHost styled;
    ASSERT_FALSE(Write(a, "team", styled, as("writer")));
    EXPECT_TRUE(styled.notices.empty()) << styled.notices[0];

    Save(a.file("a.met"), "not scene metadata");
    Save(a.file("c.met"), "");
    const auto nothingRead = Write(a, "team");
    ASSERT_TRUE(nothingRead);
    EXPECT_EQ(nothingRead->code, ENODATA);
    EXPECT_NE(nothingRead->description.find("its 2 rows in team were kept"), std::string::npos)
        << nothingRead->description;
    EXPECT_EQ(Rows("team"), "TA@" + name + " TC@" + name);
    // A list made in memory that found no file, as over a share not mounted.
    Save(a.file("none.txt"), "");
    FootprintOptions options;
    options.outputPath = g_server->connection();
    options.layerName = "team";
    options.listPath = a.file("none.txt");
    options.listedTree = true;
    RecordingHost quiet;
    const auto noFile = WriteFootprints(FolderPrefix(a.path()), options, m_report, quiet);
    ASSERT_TRUE(noFile);
    EXPECT_EQ(noFile->code, ENODATA);
    EXPECT_EQ(Rows("team"), "TA@" + name + " TC@" + name);

    Folder(a, {{"a.met", "TA"}});
    const auto readOnly = Write(a, "team", host, as("reader"));
    ASSERT_TRUE(readOnly);
    EXPECT_NE(readOnly->description.find("read-only transaction"), std::string::npos)
        << readOnly->description;
    EXPECT_NE(readOnly->hint.find("Nothing in the database was changed"), std::string::npos);

    const auto tooLong = Write(a, std::string(51, 'n'));
    ASSERT_TRUE(tooLong);
    EXPECT_EQ(tooLong->code, EINVAL);
    ASSERT_FALSE(Write(a, std::string(50, 'n')));
    EXPECT_EQ(g_server->Sql("SELECT count(*) FROM pg_indexes WHERE tablename = '" +
                            std::string(50, 'n') + "'"),
              "5");
}

TEST_F(PostgisTest, ADatabaseWithoutPostgisIsNamed) {
    g_server->Sql("CREATE DATABASE plain");
    const TempFolder folder;
    Folder(folder, {{"a.met", "NA"}});
    RecordingHost host;
    std::string connection = g_server->connection();
    connection.replace(connection.find("dbname=aster"), 12, "dbname=plain");
    const auto error = Write(folder, "", host, connection);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->description, "The database of " + connection + " has no PostGIS");
}

TEST_F(PostgisTest, NoMessageShowsThePassword) {
    const TempFolder folder;
    Folder(folder, {{"a.met", "PA"}});
    RecordingHost host;
    const std::string cases[] = {
        "PG:host=/nonexistent-aster-folder password='s3cr3t word' dbname=aster",
        "PG:host=/nonexistent-aster-folder password=s3cr3t dbname=aster",
        "PG:postgresql://aster:s3cr3t@/aster?host=/nonexistent-aster-folder",
        g_server->connection() + " password=s3cr3t bogus=1",
    };
    for (const std::string& connection : cases) {
        const auto error = Write(folder, "", host, connection);
        ASSERT_TRUE(error) << connection;
        EXPECT_EQ(error->description.find("s3cr3t"), std::string::npos) << error->description;
        EXPECT_NE(error->description.find("***"), std::string::npos) << error->description;
        EXPECT_NE(error->description.find("GDAL could not connect"), std::string::npos)
            << error->description;
        EXPECT_NE(error->hint.find("psql"), std::string::npos);
    }
}

TEST(WithoutPasswords, TakesOutEveryFormLibpqReads) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"host=h password=abc dbname=d", "host=h password=*** dbname=d"},
        {"PASSWORD = 'a b\\' c' user=u", "PASSWORD = *** user=u"},
        {"postgresql://u:abc@h:5/d", "postgresql://u:***@h:5/d"},
        {"postgresql://h/d?user=u&password=abc&x=1", "postgresql://h/d?user=u&password=***&x=1"},
        {"postgresql://u@h/d", "postgresql://u@h/d"},
        {"password authentication failed for user \"u\"",
         "password authentication failed for user \"u\""},
        {"password=", "password=***"},
    };
    for (const auto& [given, shown] : cases)
        EXPECT_EQ(WithoutPasswords(given), shown) << given;
}

} // namespace
} // namespace aster
