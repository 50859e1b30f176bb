// The STAC catalogue: whole documents, the ids, the files beside each scene, relative
// hrefs, and outputs that replace earlier ones whole or not at all.
#include "stac/asset_files.h"
#include "stac/percent_encoding.h"
#include "stac/item_ids.h"
#include "stac/licenses.h"
#include "stac/stac_catalogue.h"
#include "stac/stac_json.h"

#include "tests/granule_samples.h"
#include "tests/stac_checks.h"
#include "tests/test_support.h"

#include <rapidjson/document.h>
#include <rapidjson/writer.h>

#include <array>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <sys/acl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace aster {
namespace {

using test::TempFolder;
namespace fs = std::filesystem;

constexpr const char* kGranule = "AST_L1B_00304122003183207_20030413120012_12345";

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

// The test granule's XML with another ID and other corners (longitude, latitude).
std::string GranuleXmlWith(const std::string& granule,
                           const std::array<std::pair<const char*, const char*>, 4>& corners) {
    std::string text = Replaced(test::GranuleXml(), kGranule, granule);
    const std::pair<const char*, const char*> old[] = {{"-117.204518", "36.512345"},
                                                       {"-116.502783", "36.402871"},
                                                       {"-116.641209", "35.872310"},
                                                       {"-117.342651", "35.981734"}};
    for (std::size_t i = 0; i < 4; ++i) {
        text = Replaced(text, old[i].first, corners[i].first);
        text = Replaced(text, old[i].second, corners[i].second);
    }
    return text;
}

// The test granule in ODL without its cloud cover and sun angles.
std::string GranuleOdlWithoutAngles(const std::string& granule) {
    std::string text = Replaced(test::GranuleOdl(), kGranule, granule);
    for (const char* name : {"SceneCloudCoverage", "QAPercentCloudCover", "QAPERCENTCLOUDCOVER",
                             "Solar_Azimuth_Angle", "Solar_Elevation_Angle"})
        text = Replaced(text, name, std::string("Other") + name);
    return text;
}

struct Outcome {
    std::optional<Error> error;
    SceneRunReport report;
    std::vector<std::string> lines; // skipped files and changed ids, as --verbose has them
};

class RecordingHost final : public SceneRunHost {
  public:
    std::vector<std::string> lines;
    std::function<bool(std::int64_t done)> stopAfter = [](std::int64_t) { return false; };
    void progress(std::int64_t done, std::int64_t) override { m_done = done; }
    bool cancelRequested() override { return stopAfter(m_done); }
    void skipped(std::string_view path, std::string_view reason) override {
        lines.push_back("skipped " + std::string(path) + ": " + std::string(reason));
    }
    void idChanged(std::string_view path, std::string_view id, std::string_view why) override {
        lines.push_back("id " + std::string(id) + " for " + std::string(path) + ": " +
                        std::string(why));
    }
    void notice(std::string_view text) override { lines.push_back(std::string(text)); }

  private:
    std::int64_t m_done = 0;
};

Outcome Catalogue(const std::string& scenes, const std::string& output, bool overwrite = false,
                  RecordingHost host = {}) {
    StacOptions options;
    options.outputPath = output;
    options.overwrite = overwrite;
    Outcome outcome;
    outcome.error = WriteStac(scenes + "/", options, outcome.report, host);
    outcome.lines = host.lines;
    return outcome;
}

void WriteList(const TempFolder& folder, const std::string& dir,
               const std::vector<std::string>& names) {
    std::string list;
    for (const std::string& name : names)
        list += name + "\r\n";
    folder.write(dir + "/filelist.txt", list);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Every name under `folder`, with "/" after folders, sorted.
std::vector<std::string> Tree(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        names.push_back(fs::relative(entry.path(), folder).string() +
                        (entry.is_directory() ? "/" : ""));
    std::sort(names.begin(), names.end());
    return names;
}

// The folder of a granule downloaded with its files beside it; one file of those is a
// link to a FIFO, which would hang a reader that opened it.
struct Download {
    TempFolder folder;
    std::string scenes = folder.file("scenes");
    Download() {
        fs::create_directory(scenes);
        const std::string g = std::string("scenes/") + kGranule;
        folder.write(g + ".hdf.xml", test::GranuleXml());
        folder.write(g + ".hdf", "\x0e\x03\x13\x01");
        folder.write(g + "_V.tif", std::string("II*\0", 4));
        folder.write(g + "_T.tif", std::string("II*\0", 4));
        folder.write(g + ".jpg", "\xff\xd8\xff\xe0");
        folder.write(g + "_QA.txt", "quality");
        EXPECT_EQ(::mkfifo(folder.file("scenes/pipe").c_str(), 0644), 0);
        EXPECT_EQ(::symlink("pipe", folder.file(g + "_L.tif").c_str()), 0);
        fs::create_directory(folder.file(g + "_dir.tif"));
        WriteList(folder, "scenes",
                  {std::string(kGranule) + ".hdf.xml", std::string(kGranule) + ".hdf",
                   std::string(kGranule) + "_V.tif", "pipe"});
    }
};

constexpr const char* kXmlItem = R"({
  "type": "Feature",
  "stac_version": "1.0.0",
  "stac_extensions": [
    "https://stac-extensions.github.io/eo/v1.1.0/schema.json",
    "https://stac-extensions.github.io/view/v1.0.0/schema.json"
  ],
  "id": "AST_L1B_00304122003183207_20030413120012_12345",
  "collection": "scenes",
  "geometry": {
    "type": "Polygon",
    "coordinates": [
      [
        [
          -117.204518,
          36.512345
        ],
        [
          -117.342651,
          35.981734
        ],
        [
          -116.641209,
          35.87231
        ],
        [
          -116.502783,
          36.402871
        ],
        [
          -117.204518,
          36.512345
        ]
      ]
    ]
  },
  "bbox": [
    -117.342651,
    35.87231,
    -116.502783,
    36.512345
  ],
  "properties": {
    "datetime": "2003-04-12T18:32:07.414Z",
    "start_datetime": "2003-04-12T18:32:07.414Z",
    "end_datetime": "2003-04-12T18:32:16.302Z",
    "platform": "terra",
    "instruments": [
      "aster"
    ],
    "eo:cloud_cover": 12,
    "view:sun_azimuth": 142.615,
    "view:sun_elevation": 58.7,
    "aster:short_name": "AST_L1B",
    "aster:version": "3"
  },
  "links": [
    {
      "rel": "root",
      "href": "../collection.json",
      "type": "application/json"
    },
    {
      "rel": "parent",
      "href": "../collection.json",
      "type": "application/json"
    },
    {
      "rel": "collection",
      "href": "../collection.json",
      "type": "application/json"
    }
  ],
  "assets": {
    "metadata": {
      "href": "../../scenes/AST_L1B_00304122003183207_20030413120012_12345.hdf.xml",
      "type": "application/xml",
      "roles": [
        "metadata"
      ]
    },
    "hdf": {
      "href": "../../scenes/AST_L1B_00304122003183207_20030413120012_12345.hdf",
      "type": "application/x-hdf",
      "roles": [
        "data"
      ]
    },
    "browse": {
      "href": "../../scenes/AST_L1B_00304122003183207_20030413120012_12345.jpg",
      "type": "image/jpeg",
      "roles": [
        "thumbnail",
        "overview"
      ]
    },
    "L": {
      "href": "../../scenes/AST_L1B_00304122003183207_20030413120012_12345_L.tif",
      "type": "image/tiff; application=geotiff",
      "roles": [
        "data"
      ]
    },
    "qa": {
      "href": "../../scenes/AST_L1B_00304122003183207_20030413120012_12345_QA.txt",
      "type": "text/plain",
      "roles": [
        "metadata"
      ]
    },
    "T": {
      "href": "../../scenes/AST_L1B_00304122003183207_20030413120012_12345_T.tif",
      "type": "image/tiff; application=geotiff",
      "roles": [
        "data"
      ]
    },
    "V": {
      "href": "../../scenes/AST_L1B_00304122003183207_20030413120012_12345_V.tif",
      "type": "image/tiff; application=geotiff",
      "roles": [
        "data"
      ]
    }
  }
}
)";

// STAC needs each item's time: a scene without one is skipped, named for what it lacks.
TEST(StacCatalogue, ScenesWithoutATimeSkippedForWhatTheyLack) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "no acquisition time"},
        {"T18:32:07Z", "no acquisition date"},
        {"2003-04-12", "no acquisition time of day"},
        {"2003-04-12T25:00:00Z", "unreadable acquisition date or time"},
        {"2003/04/12 18:32:07Z", "unreadable acquisition date or time"},
        {"9999-12-31T23:30:00-01:00", "unreadable acquisition date or time"},
        {"2003-04-12 18:32:07+01:00", ""}, // RFC 3339's blank and offset: written
    };
    TempFolder folder;
    std::filesystem::create_directory(folder.file("s"));
    std::string list;
    std::vector<std::string> expected;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& [time, reason] = cases[i];
        const std::string name = "g" + std::to_string(i) + ".json";
        folder.write(
            "s/" + name,
            "{\"GranuleUR\": \"G" + std::to_string(i) + "\", " +
                (time.empty() ? ""
                              : "\"TemporalExtent\": {\"SingleDateTime\": \"" + time + "\"}, ") +
                "\"SpatialExtent\": {\"HorizontalSpatialDomain\": {\"Geometry\": {\"GPolygons\": "
                "[{\"Boundary\": {\"Points\": [{\"Longitude\": 1, \"Latitude\": 1}, "
                "{\"Longitude\": "
                "2, \"Latitude\": 1}, {\"Longitude\": 2, \"Latitude\": 2}, {\"Longitude\": 1, "
                "\"Latitude\": 1}]}}]}}}}");
        list += name + "\n";
        if (!reason.empty())
            expected.push_back("skipped " + folder.file("s/" + name) + ": " + reason);
    }
    folder.write("s/filelist.txt", list);
    const Outcome outcome = Catalogue(folder.file("s"), folder.file("items.json"));
    ASSERT_FALSE(outcome.error) << FormatError(*outcome.error);
    EXPECT_EQ(outcome.lines, expected);
    EXPECT_NE(folder.read("items.json").find("\"2003-04-12T17:32:07.000Z\""), std::string::npos);
}

// A granule downloaded as XML with its HDF, GeoTIFFs, browse image and QA report: one
// item that points at each, the link to the FIFO never opened, its folder and the other
// listed files skipped for the reasons the footprint layer gives.
TEST(StacCatalogue, ADownloadedGranuleAsAWholeDocument) {
    Download download;
    const std::string out = download.folder.file("cat");
    const Outcome outcome = Catalogue(download.scenes, out);
    ASSERT_FALSE(outcome.error) << FormatError(*outcome.error);
    EXPECT_EQ(outcome.report.written, 1);
    EXPECT_EQ(outcome.report.skipped, 3);
    const std::string g = download.scenes + "/" + kGranule;
    EXPECT_EQ(outcome.lines, (std::vector<std::string>{
                                 "skipped " + g + ".hdf: described by " + std::string(kGranule) + ".hdf.xml",
                                 "skipped " + g + "_V.tif: not scene metadata",
                                 "skipped " + download.scenes + "/pipe: not a regular file"}));
    const std::string item = std::string(kGranule) + "/" + kGranule + ".json";
    EXPECT_EQ(Tree(out),
              (std::vector<std::string>{std::string(kGranule) + "/", item, "collection.json"}));
    EXPECT_EQ(ReadFile(out + "/" + item), kXmlItem);
    test::ExpectStacItem(test::ParseJson(kXmlItem));
    // Every asset is there, from the item's own folder.
    const rapidjson::Document document = test::ParseJson(kXmlItem);
    for (const auto& asset : document["assets"].GetObject())
        EXPECT_TRUE(fs::exists(
            fs::symlink_status(out + "/" + kGranule + "/" + asset.value["href"].GetString())));
    const rapidjson::Document collection = test::ParseJson(ReadFile(out + "/collection.json"));
    test::ExpectStacCollection(collection);
    EXPECT_STREQ(collection["links"][1]["href"].GetString(),
                 ("./" + std::string(kGranule) + "/" + kGranule + ".json").c_str());
}

// The same granule in ODL, one across the antimeridian, one without cloud cover or sun
// angles: only the parts that differ from the XML granule's document.
TEST(StacCatalogue, ItemsOfEachKind) {
    TempFolder folder;
    fs::create_directory(folder.file("s"));
    folder.write("s/odl.met", test::GranuleOdl());
    folder.write(
        "s/cut.hdf.xml",
        GranuleXmlWith(
            "CUT",
            {{{"179.5", "10.25"}, {"-179.5", "10.5"}, {"-179.75", "9.5"}, {"179.25", "9.75"}}}));
    folder.write("s/bare.met", GranuleOdlWithoutAngles("BARE"));
    WriteList(folder, "s", {"odl.met", "cut.hdf.xml", "bare.met"});
    const Outcome outcome = Catalogue(folder.file("s"), folder.file("out"));
    ASSERT_FALSE(outcome.error) << FormatError(*outcome.error);
    EXPECT_EQ(outcome.report.written, 3);

    const auto item = [&](const std::string& id) {
        rapidjson::Document document =
            test::ParseJson(ReadFile(folder.file("out/" + id + "/" + id + ".json")));
        test::ExpectStacItem(document);
        return document;
    };
    const auto compact = [](const rapidjson::Value& value) {
        rapidjson::StringBuffer buffer;
        rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
        value.Accept(writer);
        return std::string(buffer.GetString());
    };

    // The ODL granule is the XML one but for its metadata file.
    rapidjson::Document odl = item(kGranule);
    rapidjson::Document xml = test::ParseJson(kXmlItem);
    EXPECT_EQ(compact(odl["assets"]["metadata"]),
              R"({"href":"../../s/odl.met","type":"text/plain","roles":["metadata"]})");
    odl.RemoveMember("assets");
    xml.RemoveMember("assets");
    xml["collection"].SetString("s");
    EXPECT_EQ(compact(odl), compact(xml));

    // Cut at +-180 into a MultiPolygon of counter-clockwise parts; its box runs east from
    // 179.25 round to -179.5.
    const rapidjson::Document cut = item("CUT");
    EXPECT_EQ(compact(cut["geometry"]),
              R"({"type":"MultiPolygon","coordinates":[[[[179.25,9.75],[180,9.5625],[180,10.375],)"
              R"([179.5,10.25],[179.25,9.75]]],[[[-180,9.5625],[-179.75,9.5],[-179.5,10.5],)"
              R"([-180,10.375],[-180,9.5625]]]]})");
    EXPECT_EQ(compact(cut["bbox"]), "[179.25,9.5,-179.5,10.5]");

    // No cloud cover, no sun angles: no extension.
    const rapidjson::Document bare = item("BARE");
    EXPECT_EQ(compact(bare["stac_extensions"]), "[]");
    EXPECT_EQ(compact(bare["properties"]),
              R"({"datetime":"2003-04-12T18:32:07.414Z","start_datetime":)"
              R"("2003-04-12T18:32:07.414Z","end_datetime":"2003-04-12T18:32:16.302Z",)"
              R"("platform":"terra","instruments":["aster"],"aster:short_name":"AST_L1B",)"
              R"("aster:version":"3"})");

    // The collection's extent crosses the antimeridian too, and lists its two sides.
    const rapidjson::Document collection =
        test::ParseJson(ReadFile(folder.file("out/collection.json")));
    test::ExpectStacCollection(collection);
    EXPECT_EQ(compact(collection["extent"]),
              R"({"spatial":{"bbox":[[-180,9.5,180,36.512345],[179.25,9.5,180,)"
              R"(36.512345],[-180,9.5,-116.502783,36.512345]]},"temporal":{"interval":[[)"
              R"("2003-04-12T18:32:07.414Z","2003-04-12T18:32:16.302Z"]]}})");
}

// The collection says aster processed it, summarises its items' numbers as ranges, lists
// exactly the extensions whose fields it has, and links to an SPDX license's text.
TEST(StacJson, TheCollectionNamesItsProcessorRangesAndLicense) {
    const auto document = [](const std::string& license, bool angles) {
        StacCollection collection;
        collection.id = "c";
        collection.title = "c";
        collection.description = CollectionDescription("c");
        collection.license = license;
        collection.softwareVersion = "9.8.7";
        if (angles)
            for (const double value : {30.5, 2.25, 17.0}) {
                collection.cloudCover.add(value);
                collection.sunAzimuth.add(value + 100);
                collection.sunElevation.add(std::optional<double>());
                collection.sunElevation.add(-value);
            }
        std::ostringstream out;
        WriteCollectionDocument(out, collection, 0, [](std::size_t) { return std::string(); });
        rapidjson::Document parsed = test::ParseJson(out.str());
        test::ExpectStacCollection(parsed);
        return parsed;
    };
    const auto compact = [](const rapidjson::Value& value) {
        rapidjson::StringBuffer buffer;
        rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
        value.Accept(writer);
        return std::string(buffer.GetString());
    };
    const rapidjson::Document full = document("CC-BY-4.0", true);
    EXPECT_EQ(compact(full["providers"]), R"([{"name":"aster","roles":["processor"],)"
                                          R"("processing:software":{"aster":"9.8.7"}}])");
    EXPECT_EQ(compact(full["summaries"]),
              R"({"eo:cloud_cover":{"minimum":2.25,"maximum":30.5},"view:sun_azimuth":)"
              R"({"minimum":102.25,"maximum":130.5},"view:sun_elevation":{"minimum":-30.5,)"
              R"("maximum":-2.25}})");
    EXPECT_EQ(compact(full["stac_extensions"]),
              "[\"" + std::string(kEoExtension) + "\",\"" + std::string(kViewExtension) +
                  "\",\"" + std::string(kProcessingExtension) + "\"]");
    EXPECT_EQ(compact(full["links"][1]), R"({"rel":"license","href":)"
                                         R"("https://spdx.org/licenses/CC-BY-4.0.html",)"
                                         R"("type":"text/html"})");
    EXPECT_EQ(AuthorOfCollection(compact(full)), CollectionAuthor::Aster);
    for (const char* license : {"proprietary", "various"}) {
        const rapidjson::Document bare = document(license, false);
        EXPECT_EQ(test::LinkRelations(bare["links"]), std::set<std::string>{"root"}) << license;
        EXPECT_EQ(compact(bare["summaries"]), "{}");
        EXPECT_EQ(compact(bare["stac_extensions"]),
                  "[\"" + std::string(kProcessingExtension) + "\"]");
    }
}

TEST(StacExtent, UnionsBoxesOnEitherSideOfTheAntimeridian) {
    using Boxes = std::vector<BoundingBox>;
    struct Row {
        Boxes items;
        Boxes expected;
    };
    const Row rows[] = {
        {{}, {{-180, -90, 180, 90}}},
        {{{10, 1, 20, 2}, {-30, -5, -20, 0}}, {{-30, -5, 20, 2}}},
        // One box across: the union runs from the eastern boxes round to the western ones.
        {{{170, 0, -170, 1}, {160, 2, 165, 3}, {-150, -1, -140, 0}},
         {{-180, -1, 180, 3}, {160, -1, 180, 3}, {-180, -1, -140, 3}}},
        // Across, with two equal gaps: the first one round from -180 is left out.
        {{{170, 0, -170, 1}, {-20, 0, 100, 1}, {-100, 2, -10, 3}},
         {{-180, 0, 180, 3}, {-100, 0, 180, 3}, {-180, 0, -170, 3}}},
        // The widest gap left out, not the one at the meridian: 186 degrees, not 318.
        {{{179.7, -17.2, -179.6, -16}, {4.9, 50, 5.6, 51}, {-41.5, 80, -37, 82.9}},
         {{-180, -17.2, 180, 82.9}, {179.7, -17.2, 180, 82.9}, {-180, -17.2, 5.6, 82.9}}},
        // Boxes on either side of the antimeridian, none across it: the union crosses.
        {{{170, 0, 175, 1}, {-175, 0, -170, 1}},
         {{-180, 0, 180, 1}, {170, 0, 180, 1}, {-180, 0, -170, 1}}},
        // Round the whole globe.
        {{{-180, 0, 180, 1}}, {{-180, 0, 180, 1}}},
        {{{-180, 0, 0, 1}, {0, 0, 180, 1}}, {{-180, 0, 180, 1}}},
        // A gap narrower than a cell is no gap.
        {{{-180, 0, 10, 1}, {10.01, 0, 180, 1}}, {{-180, 0, 180, 1}}},
    };
    for (const Row& row : rows) {
        StacExtent extent;
        for (const BoundingBox& box : row.items)
            extent.add(box, UtcMilliseconds{});
        const Boxes got = extent.boxes();
        ASSERT_EQ(got.size(), row.expected.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].west, row.expected[i].west);
            EXPECT_EQ(got[i].south, row.expected[i].south);
            EXPECT_EQ(got[i].east, row.expected[i].east);
            EXPECT_EQ(got[i].north, row.expected[i].north);
        }
    }
}

TEST(StacJson, NumbersKeepTheirSevenDecimals) {
    // Every whole number of 1e-7 degrees, as the footprint shape gives it, reads back
    // from at most 7 decimals.
    std::uint64_t state = 12345;
    for (int i = 0; i < 200000; ++i) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        const auto units = static_cast<std::int64_t>(state >> 33) % 3'600'000'001LL - 1'800'000'000;
        const double value = static_cast<double>(units) / 1e7;
        const std::string text = NumberText(value);
        const std::size_t dot = text.find('.');
        ASSERT_TRUE(dot == std::string::npos || text.size() - dot - 1 <= 7) << text;
        ASSERT_EQ(std::stod(text), value) << text;
        ASSERT_EQ(text.find('e'), std::string::npos);
    }
    EXPECT_EQ(NumberText(-0.0), "0");
    EXPECT_EQ(NumberText(180), "180");
}

// The quick way for numbers of few decimals gives what the general rule gives: the
// shortest fixed text that reads back as the value. Decimals of every count around its
// limit of 8, magnitudes around its limit of a million, and doubles of any bits.
TEST(StacJson, NumberTextIsTheShortestFixedText) {
    const auto general = [](double value) {
        std::array<char, 400> text;
        const auto end =
            std::to_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed)
                .ptr;
        return std::string(text.data(), end);
    };
    std::mt19937_64 random(7);
    const auto check = [&](double value) {
        if (value != 0 && !std::isnan(value)) {
            ASSERT_EQ(NumberText(value), general(value)) << std::hexfloat << value;
        }
    };
    for (int i = 0; i < 300000; ++i) {
        const int decimals = static_cast<int>(random() % 12);
        const auto units =
            static_cast<std::int64_t>(random() % 400'000'000'000'000ULL) - 200'000'000'000'000LL;
        const std::int64_t scale = 1LL << (random() % 50);
        check(static_cast<double>(units / scale) / std::pow(10.0, decimals));
        check(std::nextafter(static_cast<double>(units / scale) / std::pow(10.0, decimals), 0.0));
        std::uint64_t bits = random();
        double raw;
        std::memcpy(&raw, &bits, sizeof raw);
        check(raw);
        check(std::ldexp(static_cast<double>(random() >> 11), -static_cast<int>(random() % 90)));
    }
    for (const double edge : {999999.99999999, 1e6, 1e-8, 1.5e-8, 0.1, 0.3, 123456.78901234})
        check(edge);
}

// Features of every size around the writer's 64 KiB buffer come back whole, one a line,
// each where it was added, and the whole file parses as JSON.
TEST(StacJson, ItemCollectionLinesHoldTheFeaturesGiven) {
    std::vector<std::string> features;
    for (const std::size_t size : {2, 600, 65'000, 65'536, 70'000, 3, 140'000, 65'530, 9})
        features.push_back("{\"p\":\"" + std::string(size, 'x') + "\"}");
    std::ostringstream out;
    {
        ItemCollectionWriter writer(out);
        for (const std::string& feature : features)
            writer.add(feature);
        writer.finish();
    }
    rapidjson::Document document;
    document.Parse(out.str().data(), out.str().size());
    ASSERT_FALSE(document.HasParseError());
    ASSERT_EQ(document["features"].Size(), features.size());
    std::istringstream lines(out.str());
    std::vector<std::string> found;
    for (std::string line; std::getline(lines, line);) {
        if (const std::optional<std::string_view> feature = FeatureOnLine(line))
            found.emplace_back(*feature);
    }
    EXPECT_EQ(found, features);
}

// An item written again with another id is the item written with that id, numbers and
// all, in both layouts.
TEST(StacJson, AnIdReplacedIsAsIfWrittenSo) {
    StacItem item;
    item.id = "first";
    item.collection = "c";
    item.shape.parts = {{{179.25, 9.75}, {180, 9.5625}, {180, 10.375}},
                        {{-180, 1e-7}, {-179.1234567, -0.5}, {-180, -1}}};
    item.shape.crossesAntimeridian = true;
    item.bbox = BoundsOf(item.shape);
    item.cloudCover = 0.0001;
    item.sunAzimuth = 359.9999999;
    item.assets = {{"metadata", "../../a%20b.met", "text/plain", {"metadata"}}};
    StacItem renamed = item;
    renamed.id = "second \"quoted\"";
    std::string out;
    ASSERT_TRUE(ReplaceItemId(PrettyItem(item), renamed.id, true, out));
    EXPECT_EQ(out, PrettyItem(renamed));
    ASSERT_TRUE(ReplaceItemId(CompactItem(item), renamed.id, false, out));
    EXPECT_EQ(out, CompactItem(renamed));
    EXPECT_FALSE(ReplaceItemId("[1]", "x", false, out));
    EXPECT_FALSE(ReplaceItemId("{\"id\": ", "x", false, out));
}

// Texts are written in runs up to the first byte JSON escapes: whatever the length and
// wherever such a byte stands, around the 32-byte blocks the runs are found in, an item's
// texts come out as RapidJSON writes them a byte at a time, and read back unchanged.
TEST(StacJson, TextsAreEscapedAsRapidJsonEscapesThem) {
    const auto alone = [](const std::string& text) {
        rapidjson::StringBuffer buffer;
        rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
        writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
        return std::string(buffer.GetString(), buffer.GetSize());
    };
    StacItem item;
    item.collection = "c";
    item.shape.parts = {{{1, 2}, {3, 2}, {3, 4}}};
    item.bbox = BoundsOf(item.shape);
    item.assets = {{"metadata", "", "text/plain", {"metadata"}}};
    for (const std::size_t length : {0, 1, 31, 32, 33, 63, 64, 65, 100}) {
        for (const std::string special :
             {"", "\"", "\\", "\n", "\x01", "\x1f", "\xc3\xa9", "\x7f"}) {
            for (const std::size_t at : {std::size_t{0}, std::size_t{31}, std::size_t{32},
                                         length / 2, length > 0 ? length - 1 : 0}) {
                std::string text(length, 'a');
                if (!special.empty() && at < length)
                    text.replace(at, 1, special);
                item.id = text;
                item.assets[0].href = text + text;
                const std::string json = CompactItem(item);
                SCOPED_TRACE(::testing::PrintToString(text));
                EXPECT_NE(json.find("\"id\":" + alone(text) + ","), std::string::npos) << json;
                EXPECT_NE(json.find("\"href\":" + alone(text + text) + ","), std::string::npos)
                    << json;
                rapidjson::Document document;
                document.Parse(json.data(), json.size());
                ASSERT_FALSE(document.HasParseError()) << json;
                EXPECT_EQ(std::string(document["id"].GetString(), document["id"].GetStringLength()),
                          text);
            }
        }
    }
}

struct IdRow {
    std::vector<std::pair<std::string, std::string>> items; // granule stem, name stem
    std::vector<std::string> provisional;
    std::vector<std::string> final;
    std::vector<std::string> changes;
};

TEST(ItemIds, GranuleThenNameThenNumberAndSuffixesInListOrder) {
    const std::string tooLong(kMaxIdBytes + 1, 'x');
    const IdRow rows[] = {
        {{{"A", "a"}, {"B", "b"}, {"", "c"}}, {"A", "B", "c"}, {"A", "B", "c"}, {"", "", ""}},
        // A granule shared: both fall back to their names, though the first was written
        // under the granule's ID before the second came.
        {{{"G", "g1"}, {"X", "x"}, {"G", "g2"}},
         {"G", "X", "g2"},
         {"g1", "X", "g2"},
         {"another listed file has the same granule ID", "",
          "another listed file has the same granule ID"}},
        // The same granule as .hdf.xml and .met: the same name too, so a suffix.
        {{{"G", "G"}, {"G", "G"}},
         {"G", "G-2"},
         {"G", "G-2"},
         {"another listed file has the same granule ID",
          "another listed file has the same granule ID, and G is the id of an earlier item"}},
        // Unsafe ids fall back: to the name, then to the scene's number.
        {{{"a/b", "n"}, {".hidden", ".met"}, {tooLong, "ok"}, {"", "tab\there"}},
         {"n", "scene-2", "ok", "scene-4"},
         {"n", "scene-2", "ok", "scene-4"},
         {"its granule ID cannot name a folder",
          "its granule ID cannot name a folder, and its file name cannot name a folder",
          "its granule ID cannot name a folder", "its file name cannot name a folder"}},
        // A name that is an earlier suffix's id; suffixes counted on, never reused.
        {{{"", "x"}, {"", "x"}, {"", "x-2"}, {"", "x"}},
         {"x", "x-2", "x-2-2", "x-3"},
         {"x", "x-2", "x-2-2", "x-3"},
         {"", "x is the id of an earlier item", "x-2 is the id of an earlier item",
          "x is the id of an earlier item"}},
        // The catalogue's own names, in any case, are taken from the start.
        {{{"collection.json", "x"}, {"", "Catalog.JSON"}, {"", "collection.json"}},
         {"collection.json-2", "Catalog.JSON-2", "collection.json-3"},
         {"collection.json-2", "Catalog.JSON-2", "collection.json-3"},
         {"collection.json is a name the catalogue gives its own file",
          "Catalog.JSON is a name the catalogue gives its own file",
          "collection.json is a name the catalogue gives its own file"}},
        // A provisional id given up at the end is taken by a later item.
        {{{"G", "H"}, {"", "G"}, {"G", "x"}},
         {"G", "G-2", "x"},
         {"H", "G", "x"},
         {"another listed file has the same granule ID", "",
          "another listed file has the same granule ID"}},
    };
    const TempFolder spill;
    for (const IdRow& row : rows) {
        ItemIds ids;
        ASSERT_FALSE(ids.open(spill.path(), "items.json"));
        std::vector<std::string> provisional, final, changes;
        for (std::size_t i = 0; i < row.items.size(); ++i)
            provisional.emplace_back(
                ids.add(row.items[i].first, row.items[i].second, static_cast<std::int32_t>(i + 1)));
        ids.finish();
        for (std::size_t i = 0; i < ids.size(); ++i) {
            EXPECT_EQ(ids.provisionalId(i), provisional[i]);
            final.emplace_back(ids.finalId(i));
            changes.push_back(ids.change(i));
            EXPECT_EQ(ids.changed(i), final.back() != provisional[i]);
        }
        EXPECT_EQ(provisional, row.provisional);
        EXPECT_EQ(final, row.final);
        EXPECT_EQ(changes, row.changes);
    }
}

TEST(ItemIds, ManyItemsOfOneIdTakeLinearTime) {
    const TempFolder spill;
    ItemIds ids;
    ASSERT_FALSE(ids.open(spill.path(), "items.json"));
    for (int i = 0; i < 50000; ++i)
        ids.add("", "same", i + 1);
    ids.finish();
    ASSERT_FALSE(ids.error());
    EXPECT_EQ(ids.finalId(0), "same");
    for (std::size_t i = 1; i < ids.size(); ++i)
        ASSERT_EQ(ids.finalId(i), "same-" + std::to_string(i + 1));
    EXPECT_TRUE(IsSafeId(std::string(kMaxIdBytes, 'x')));
    EXPECT_EQ(NameStem("x.hdf.xml"), "x");
    EXPECT_EQ(NameStem("x.HDF.met"), "x");
    EXPECT_EQ(NameStem("x.tar.gz"), "x.tar");
}

// The ids worked out plainly, all in memory: the smallest free suffix from 2 on, over
// the ids given so far in the pass.
std::vector<std::string> PlainIds(const std::vector<std::pair<std::string, std::string>>& items,
                                  bool final) {
    std::map<std::string, int> granules;
    for (const auto& item : items)
        if (IsSafeId(item.first))
            ++granules[item.first];
    std::map<std::string, int> seen;
    std::set<std::string> taken;
    std::vector<std::string> ids;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const auto& [granule, name] = items[i];
        const bool safe = IsSafeId(granule);
        const bool shared = safe && (final ? granules[granule] > 1 : seen[granule]++ > 0);
        std::string base = safe && !shared ? granule
                           : IsSafeId(name) ? name
                                            : "scene-" + std::to_string(i + 1);
        std::string id = base;
        for (int suffix = 2; taken.count(id) || IsCatalogueName(id); ++suffix)
            id = base + "-" + std::to_string(suffix);
        taken.insert(id);
        ids.push_back(id);
    }
    return ids;
}

// Many items of few granules and names, so that ids clash often, more of them than the
// memory's pages hold: each id as the plain rule gives it. Once with granule IDs shared,
// once with every granule ID its item's own, where the final ids are the provisional ones
// without a second pass, while the names still clash.
TEST(ItemIds, AgreeWithThePlainRuleOverManyClashes) {
    const std::vector<std::string> granules = {"", "a/b", "G1", "G2", "n1", "n1-2", "collection.json"};
    const std::vector<std::string> names = {"n1", "n2", "n1-2", "G1", ".x", "CATALOG.json", "G2-2"};
    for (const bool shared : {true, false}) {
        std::vector<std::pair<std::string, std::string>> items;
        std::uint32_t state = 12345;
        const auto next = [&state](std::size_t n) {
            state = state * 1103515245 + 12345;
            return (state >> 8) % n;
        };
        for (int i = 0; i < 20000; ++i) {
            const std::size_t g = next(granules.size() + 40);
            const std::size_t n = next(5 * names.size());
            std::string granule = g < granules.size() ? granules[g] : "U" + std::to_string(next(20000));
            if (!shared && IsSafeId(granule))
                granule = "U" + std::to_string(i);
            items.emplace_back(granule, n < names.size() ? names[n] : "N" + std::to_string(next(5000)));
        }
        const TempFolder spill;
        ItemIds ids;
        ASSERT_FALSE(ids.open(spill.path(), "items.json"));
        std::vector<std::string> provisional;
        for (std::size_t i = 0; i < items.size(); ++i)
            provisional.emplace_back(
                ids.add(items[i].first, items[i].second, static_cast<std::int32_t>(i + 1)));
        ids.finish();
        ASSERT_FALSE(ids.error());
        std::vector<std::string> final;
        std::size_t changed = 0;
        for (std::size_t i = 0; i < ids.size(); ++i) {
            ASSERT_EQ(ids.provisionalId(i), provisional[i]);
            ASSERT_EQ(ids.sceneNumber(i), static_cast<std::int32_t>(i + 1));
            final.push_back(ids.finalId(i));
            ASSERT_EQ(ids.changed(i), final.back() != provisional[i]);
            changed += ids.changed(i) ? 1 : 0;
        }
        EXPECT_EQ(provisional, PlainIds(items, false));
        EXPECT_EQ(final, PlainIds(items, true));
        EXPECT_EQ(changed > 0, shared);
    }
}

TEST(AssetFiles, KeysTypesAndRolesBySuffix) {
    const StacAsset rows[] = {
        {".hdf", "", "application/x-hdf", {"data"}},
        {"_V.tif", "", "image/tiff; application=geotiff", {"data"}},
        {"_T.TIF", "", "image/tiff; application=geotiff", {"data"}},
        {".tiff", "", "image/tiff; application=geotiff", {"data"}},
        {".jpg", "", "image/jpeg", {"overview"}},
        {"_QA.txt", "", "text/plain", {"metadata"}},
        {".hdf.xml", "", "application/xml", {"metadata"}},
        {".met", "", "text/plain", {"metadata"}},
        {".zip", "", "", {}},
        {"", "", "", {}},
    };
    EXPECT_EQ(MetadataAsset(MetadataLayout::UmmG).type, "application/json");
    EXPECT_EQ(MetadataAsset(MetadataLayout::EcsXml).type, "application/xml");
    EXPECT_EQ(MetadataAsset(MetadataLayout::Odl).type, "text/plain");
    const StacAsset hdf = MetadataAsset(MetadataLayout::HdfEos);
    EXPECT_EQ(hdf.type, "application/x-hdf");
    EXPECT_EQ(hdf.roles, (std::vector<std::string>{"data", "metadata"}));
    const char* keys[] = {"hdf", "V", "T", "tiff", "browse", "qa", "xml", "met", "zip", "file"};
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const StacAsset asset = AssetOfSuffix(rows[i].key);
        EXPECT_EQ(asset.key, keys[i]) << rows[i].key;
        EXPECT_EQ(asset.type, rows[i].type) << rows[i].key;
        EXPECT_EQ(asset.roles, rows[i].roles) << rows[i].key;
    }
}

// Threads asking at once for the same folders each get the one reading of it; a folder
// is read again only after more than kMaxFolders others were asked for since, and not at
// all once the run is stopped.
TEST(AssetFiles, FolderNamesReadOnceWhileRecent) {
    TempFolder folder;
    const auto dir = [&folder](std::size_t i) { return folder.file("d" + std::to_string(i)); };
    for (std::size_t i = 0; i <= FolderNamesCache::kMaxFolders; ++i) {
        fs::create_directory(dir(i));
        folder.write("d" + std::to_string(i) + "/s_" + std::to_string(i), "");
    }
    FolderNamesCache cache;
    std::vector<std::shared_ptr<const FolderNames>> seen(8 * 3);
    {
        std::vector<std::jthread> threads;
        for (std::size_t t = 0; t < 8; ++t)
            threads.emplace_back([&, t] {
                for (std::size_t d = 0; d < 3; ++d)
                    seen[t * 3 + d] = cache.names(dir((t + d) % 3));
            });
    }
    for (std::size_t i = 0; i < seen.size(); ++i) {
        const std::size_t d = (i / 3 + i % 3) % 3;
        ASSERT_NE(seen[i], nullptr);
        EXPECT_EQ(seen[i], cache.names(dir(d)));
        EXPECT_EQ(seen[i]->startingWith("s_"), std::vector<std::string>{"s_" + std::to_string(d)});
    }

    folder.write("d0/s_new", "");
    for (std::size_t i = 1; i < FolderNamesCache::kMaxFolders; ++i)
        cache.names(dir(i));
    EXPECT_EQ(cache.names(dir(0))->size(), 1u) << "still kept: not read again";
    for (std::size_t i = 1; i <= FolderNamesCache::kMaxFolders; ++i)
        cache.names(dir(i));
    EXPECT_EQ(cache.names(dir(0))->size(), 2u) << "let go and read again";
    EXPECT_EQ(cache.names(folder.file("missing")), nullptr);

    // A stopped run reads no folder further, and that is no failure of the output.
    FolderNamesCache stopped;
    stopped.setKeepReading([] { return false; });
    EXPECT_EQ(stopped.names(dir(0)), nullptr);
    EXPECT_FALSE(stopped.failure());
}

// Each file of a folder belongs to one granule at most: the one whose ID is the longest
// start of its name that a separator or the name's end follows, the folder's granules
// known from its data and metadata files.
TEST(AssetFiles, EachFileBelongsToOneGranule) {
    TempFolder folder;
    const std::vector<std::string> files = {
        "S_1.hdf",   "S_1.hdf.xml",       "S_1.jpg",   "S_1_QA.txt",
        "S_1_V.tif", "S_1_V.tif.aux.xml", "S_10.hdf",  "S_10.hdf.xml",
        "S_10.jpg",  "S_10_QA.txt",       "S_1_2.met", "S_1_2.jpg",
        "S_1-x.txt", "S_1.a.met",         "S_1B.jpg",  "T.hdf",
        "T.jpg",     "T_2.jpg",           "T_2.JPEG",  "L\xe9.met",
        "L\xe9.jpg", "L\xc3\xa9_V.tif"};
    for (const std::string& name : files)
        folder.write(name, "");
    const TempFolder spill;
    for (const std::size_t memory : {FolderNames::kMemoryBytes, std::size_t{40}}) {
        FolderNames names;
        ASSERT_FALSE(names.read(folder.path(), spill.path(), {}, memory));
        struct Row {
            std::string stem;
            std::vector<std::string> assets; // after the metadata file
        };
        const Row rows[] = {
            // Not S_10's files, nor S_1_2's, which has a metadata file of its own; the sidecar
            // of one of its files and a name with a dot after its ID are S_1's.
            {"S_1",
             {"S_1-x.txt", "S_1.a.met", "S_1.hdf", "S_1.hdf.xml", "S_1.jpg", "S_1_QA.txt",
              "S_1_V.tif", "S_1_V.tif.aux.xml"}},
            {"S_10", {"S_10.hdf", "S_10.hdf.xml", "S_10.jpg", "S_10_QA.txt"}},
            {"S_1_2", {"S_1_2.jpg", "S_1_2.met"}},
            // S_1B has no data or metadata file of its own.
            {"S", {"S_1B.jpg"}},
            // T_2 has no data or metadata file: its browse images are T's.
            {"T", {"T.hdf", "T.jpg", "T_2.JPEG", "T_2.jpg"}},
            // An ID of Latin-1 bytes is text (UTF-8) by then: its files are found by either
            // spelling of their names.
            {"L\xc3\xa9", {"L%C3%A9_V.tif", "L%E9.jpg", "L%E9.met"}},
        };
        std::map<std::string, int> owners;
        for (const Row& row : rows) {
            const std::vector<StacAsset> assets =
                SceneAssets(&names, "meta", MetadataLayout::Odl, row.stem, "");
            std::vector<std::string> got;
            for (std::size_t i = 1; i < assets.size(); ++i) {
                got.push_back(assets[i].href.substr(2));
                ++owners[got.back()];
            }
            EXPECT_EQ(got, row.assets) << row.stem;
            // The first browse image alone is the thumbnail.
            int thumbnails = 0;
            for (const StacAsset& asset : assets)
                thumbnails += asset.roles == std::vector<std::string>{"thumbnail", "overview"};
            EXPECT_EQ(thumbnails, 1) << row.stem;
        }
        for (const auto& [name, count] : owners)
            EXPECT_EQ(count, 1) << name;
        EXPECT_EQ(owners.size(), files.size());
    }
}

// The HDF file a metadata file was paired with by name is the item's data, whatever the
// granule's ID, and is not given twice where the ID finds it too.
TEST(AssetFiles, TheHdfFilePairedByNameIsData) {
    TempFolder folder;
    for (const char* name :
         {"a.met", "a.HDF", "b.hdf.xml", "b.hdf", "C.hdf.met", "C.hdf", "d.met", "e.xml", "e.hdf"})
        folder.write(name, "");
    FolderNames names;
    ASSERT_FALSE(names.read(folder.path()));
    const struct {
        const char* metadata;
        const char* granule;
        std::vector<std::string> hrefs;
    } rows[] = {
        {"a.met", "AST_1", {"./a.met", "./a.HDF"}},
        {"b.hdf.xml", "AST_2", {"./b.hdf.xml", "./b.hdf"}},
        {"C.hdf.met", "C", {"./C.hdf.met", "./C.hdf"}}, // found by the ID alone
        {"d.met", "AST_4", {"./d.met"}},
        {"e.xml", "AST_5", {"./e.xml", "./e.hdf"}},
    };
    for (const auto& row : rows) {
        std::vector<std::string> hrefs;
        for (const StacAsset& asset :
             SceneAssets(&names, row.metadata, MetadataLayout::Odl, row.granule, ""))
            hrefs.push_back(asset.href);
        EXPECT_EQ(hrefs, row.hrefs) << row.metadata;
    }
    const std::vector<StacAsset> a = SceneAssets(&names, "a.met", MetadataLayout::Odl, "AST_1", "");
    EXPECT_EQ(a.back().key, "hdf");
    EXPECT_EQ(a.back().roles, std::vector<std::string>{"data"});
}

// A folder too large for memory is sorted in parts in a file and found through the first
// name of each block: every search finds what a search of all names in memory finds.
TEST(AssetFiles, FolderNamesSortedInAFileFindWhatMemoryFinds) {
    TempFolder folder;
    std::vector<std::string> files;
    for (int i = 0; i < 1500; ++i)
        files.push_back("S_" + std::to_string(i * 7919 % 1500) + (i % 3 ? ".hdf" : "_QA.txt"));
    files.push_back("\xff" + std::string(250, 'z'));
    // Names that share long starts and end on either side of eight bytes past them, and
    // bytes past ASCII, which sort after every ASCII byte.
    for (const char* name : {"AST_L1B_0000000", "AST_L1B_00000001", "AST_L1B_00000001.met",
                             "AST_L1B_00000001.met.x", "AST_L1B_000000010", "AST_L1B_\x80",
                             "AST_L1B_\x7f", "AST_L1B_00000000000000001", "AST_L1B_0000000000000000"})
        files.push_back(name);
    for (const std::string& name : files)
        folder.write(name, "");
    const TempFolder spill;
    FolderNames inMemory, inFile, unspilled;
    ASSERT_FALSE(inMemory.read(folder.path()));
    ASSERT_FALSE(inFile.read(folder.path(), spill.path(), {}, 1000));
    EXPECT_TRUE(unspilled.read(folder.path(), {}, {}, 1000)) << "no place to sort it: not read";
    ASSERT_EQ(inFile.size(), files.size());
    std::vector<std::string> prefixes = {"",        "S", "S_", "S_1", "S_149",
                                         "S_1499_", "T", "R",  "\xff"};
    for (const std::string& name : files)
        for (const std::size_t size :
             {std::size_t{1}, name.size() / 2, name.size() - 1, name.size()})
            prefixes.push_back(name.substr(0, size));
    for (const std::string& prefix : prefixes)
        ASSERT_EQ(inFile.startingWith(prefix), inMemory.startingWith(prefix)) << prefix;
    std::vector<std::string> sorted = files;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(inMemory.startingWith(""), sorted);
    EXPECT_EQ(inFile.searchError(), 0);

    // A folder that cannot be read has no files beside its scenes; one whose names cannot
    // be kept aside stops the run, which would otherwise publish items without them.
    const std::string nowhere = folder.file("missing");
    for (const bool readable : {true, false}) {
        FolderNamesCache cache;
        cache.setSpillFolder(readable ? nowhere : spill.path(), "out/items.json", 1000);
        EXPECT_EQ(cache.names(readable ? folder.path() : nowhere), nullptr);
        const std::optional<Error> failure = cache.failure();
        ASSERT_EQ(failure.has_value(), readable) << readable;
        // It names the output, not the folder of scratch files no one sees.
        if (failure) {
            EXPECT_TRUE(failure->description.ends_with(": out/items.json")) << failure->description;
        }
    }
}

TEST(AssetFiles, RelativeHrefsAsUriReferences) {
    const std::tuple<std::string, std::string, std::string> rows[] = {
        {"/a/out", "/a/out", ""},
        {"/a/out", "/a/scenes", "../scenes/"},
        {"/a/b/out", "/a/scenes/x", "../../scenes/x/"},
        {"/", "/data", "data/"},
        {"/a/out", "/", "../../"},
        {"/w", "/my scenes", "../my%20scenes/"},
        {"/w", "/caf\xc3\xa9", "../caf%C3%A9/"}, // UTF-8 as it is
        {"/w", "/caf\xe9", "../caf%E9/"},        // other bytes as they are
        {"/w", "/a:b?c#d%e", "../a%3Ab%3Fc%23d%25e/"},
    };
    for (const auto& [from, to, href] : rows)
        EXPECT_EQ(RelativeFolderHref(from, to), href) << from << " " << to;
    EXPECT_EQ(PercentEncoded("A-z_0.9~/ +"), "A-z_0.9~/%20%2B");
}

// Names with blanks and bytes that are no UTF-8, in the scene folder and the catalogue's
// path: every href, percent-decoded, is the file's name byte for byte.
TEST(StacCatalogue, HrefsOfNamesWithBlanksAndLatin1) {
    TempFolder folder;
    const std::string scenes = folder.file("my scenes");
    fs::create_directory(scenes);
    const std::string name = "g\xe9 1.met";
    folder.write("my scenes/" + name, Replaced(test::GranuleOdl(), kGranule, "G 1"));
    folder.write("my scenes/G 1_V.tif", "II");
    WriteList(folder, "my scenes", {name});
    fs::create_directory(folder.file("out put"));
    const Outcome outcome = Catalogue(scenes, folder.file("out put/items.geojson"));
    ASSERT_FALSE(outcome.error) << FormatError(*outcome.error);
    const rapidjson::Document items =
        test::ParseJson(ReadFile(folder.file("out put/items.geojson")));
    const auto& item = items["features"][0];
    test::ExpectStacItem(item);
    EXPECT_STREQ(item["id"].GetString(), "G 1");
    EXPECT_STREQ(item["collection"].GetString(), "my-scenes");
    EXPECT_STREQ(item["assets"]["metadata"]["href"].GetString(), "../my%20scenes/g%E9%201.met");
    EXPECT_STREQ(item["assets"]["V"]["href"].GetString(), "../my%20scenes/G%201_V.tif");
    // Such a link is right, and yet browsers cannot follow it: the user hears so.
    ASSERT_EQ(outcome.lines.size(), 1u);
    EXPECT_TRUE(outcome.lines[0].starts_with("1 item links files whose names are not UTF-8, "
                                             "such as the item of " +
                                             scenes + "/" + name + ": "))
        << outcome.lines[0];
    for (const std::string_view href : {"a/b%20c.met", "caf%C3%A9.met", "%E2%82%AC", "%41%42"})
        EXPECT_TRUE(NamesUtf8(href)) << href;
    for (const std::string_view href : {"caf%E9.met", "%C3", "%ED%A0%80", "a%FF"})
        EXPECT_FALSE(NamesUtf8(href)) << href;
    EXPECT_EQ(CollectionIdOf("my scenes"), "my-scenes");
    EXPECT_EQ(CollectionIdOf(".. a\xe9//b .."), "a-b");
    EXPECT_EQ(CollectionIdOf("\xe9"), "aster-scenes");
}

// Two listed files of one granule, and a third whose name gives the id the first would
// have without its granule ID: no item overwrites another, in either shape of output,
// though the first was written under the granule's ID and the third under the id the
// first takes at the end; --verbose says which ids changed.
TEST(StacCatalogue, SharedGranulesNeverOverwrite) {
    TempFolder folder;
    fs::create_directory(folder.file("s"));
    folder.write("s/one.hdf.xml",
                 GranuleXmlWith("G", {{{"1", "1"}, {"2", "1"}, {"2", "2"}, {"1", "2"}}}));
    folder.write("s/two.met", Replaced(test::GranuleOdl(), kGranule, "G"));
    folder.write("s/one.met", Replaced(test::GranuleOdl(), kGranule, ""));
    folder.write("s/G.hdf", "hdf");
    WriteList(folder, "s", {"one.hdf.xml", "two.met", "G.hdf", "one.met"});
    const std::vector<std::string> lines{
        "skipped " + folder.file("s/G.hdf") + ": not scene metadata",
        "id one for " + folder.file("s/one.hdf.xml") +
            ": another listed file has the same granule ID",
        "id two for " + folder.file("s/two.met") + ": another listed file has the same granule ID",
        "id one-2 for " + folder.file("s/one.met") + ": one is the id of an earlier item"};
    const std::vector<std::string> ids{"one", "two", "one-2"};

    const Outcome catalogue = Catalogue(folder.file("s"), folder.file("cat"));
    ASSERT_FALSE(catalogue.error) << FormatError(*catalogue.error);
    EXPECT_EQ(catalogue.lines, lines);
    EXPECT_EQ(Tree(folder.file("cat")),
              (std::vector<std::string>{"collection.json", "one-2/", "one-2/one-2.json", "one/",
                                        "one/one.json", "two/", "two/two.json"}));
    std::vector<std::string> assets;
    for (const std::string& id : ids) {
        const rapidjson::Document item =
            test::ParseJson(ReadFile(folder.file("cat/" + id + "/" + id + ".json")));
        test::ExpectStacItem(item);
        EXPECT_EQ(item["id"].GetString(), id);
        assets.push_back(item["assets"]["metadata"]["href"].GetString());
        assets.push_back(item["assets"].HasMember("hdf") ? item["assets"]["hdf"]["href"].GetString()
                                                         : "");
    }
    // The granule's HDF is the first item's alone: no file belongs to two items.
    EXPECT_EQ(assets,
              (std::vector<std::string>{"../../s/one.hdf.xml", "../../s/G.hdf", "../../s/two.met",
                                        "", "../../s/one.met", ""}));
    const rapidjson::Document collection =
        test::ParseJson(ReadFile(folder.file("cat/collection.json")));
    std::vector<std::string> links;
    for (const auto& link : collection["links"].GetArray())
        links.push_back(link["href"].GetString());
    EXPECT_EQ(links, (std::vector<std::string>{"./collection.json", "./one/one.json",
                                               "./two/two.json", "./one-2/one-2.json"}));

    const Outcome items = Catalogue(folder.file("s"), folder.file("items.JSON"));
    ASSERT_FALSE(items.error) << FormatError(*items.error);
    EXPECT_EQ(items.lines, lines);
    const std::string text = ReadFile(folder.file("items.JSON"));
    const rapidjson::Document document = test::ParseJson(text);
    EXPECT_STREQ(document["type"].GetString(), "FeatureCollection");
    ASSERT_EQ(document["features"].Size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        const auto& feature = document["features"][static_cast<rapidjson::SizeType>(i)];
        test::ExpectStacItem(feature);
        EXPECT_EQ(feature["id"].GetString(), ids[i]);
        EXPECT_STREQ(feature["collection"].GetString(), "s");
        EXPECT_EQ(test::LinkRelations(feature["links"]), std::set<std::string>{"collection"});
        EXPECT_STREQ(feature["links"][0]["href"].GetString(), "./collection.json");
        EXPECT_EQ(std::string("s/") + (i == 0   ? "one.hdf.xml"
                                       : i == 1 ? "two.met"
                                                : "one.met"),
                  feature["assets"]["metadata"]["href"].GetString());
        EXPECT_EQ(feature["assets"].MemberCount(), i == 0 ? 2u : 1u);
    }
    // One feature a line, as a stream of them is written.
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 8);
}

// Granules SCENE_1 and SCENE_10 in one folder each get their own files, and a granule
// whose ID is the collection's file name gets another id, which --verbose names.
TEST(StacCatalogue, ItemsOfOneFolderShareNoFileAndNoNameOfTheCatalogue) {
    TempFolder folder;
    fs::create_directory(folder.file("s"));
    for (const char* granule : {"SCENE_1", "SCENE_10", "collection.json"}) {
        const std::string name = std::string("s/") + granule;
        folder.write(name + ".met", Replaced(test::GranuleOdl(), kGranule, granule));
        for (const char* suffix : {".hdf", ".jpg", "_QA.txt"})
            folder.write(name + suffix, "");
    }
    WriteList(folder, "s", {"SCENE_1.met", "SCENE_10.met", "collection.json.met"});
    for (const std::string out : {"cat", "cat.json"}) {
        const Outcome outcome = Catalogue(folder.file("s"), folder.file(out));
        ASSERT_FALSE(outcome.error) << FormatError(*outcome.error);
        EXPECT_EQ(outcome.lines, std::vector<std::string>{
                                     "id collection.json-2 for " +
                                     folder.file("s/collection.json.met") +
                                     ": collection.json is a name the catalogue gives its own file"});
        std::vector<rapidjson::Document> items;
        if (out == "cat") {
            EXPECT_EQ(Tree(folder.file(out)),
                      (std::vector<std::string>{
                          "SCENE_1/", "SCENE_1/SCENE_1.json", "SCENE_10/", "SCENE_10/SCENE_10.json",
                          "collection.json", "collection.json-2/",
                          "collection.json-2/collection.json-2.json"}));
            for (const char* id : {"SCENE_1", "SCENE_10", "collection.json-2"})
                items.push_back(test::ParseJson(
                    ReadFile(folder.file(out + "/" + id + "/" + id + ".json"))));
        } else {
            const rapidjson::Document all = test::ParseJson(ReadFile(folder.file(out)));
            for (const auto& feature : all["features"].GetArray())
                items.emplace_back().CopyFrom(feature, items.back().GetAllocator());
        }
        const char* granules[] = {"SCENE_1", "SCENE_10", "collection.json"};
        ASSERT_EQ(items.size(), 3u);
        for (std::size_t i = 0; i < 3; ++i) {
            std::vector<std::string> hrefs;
            for (const auto& asset : items[i]["assets"].GetObject()) {
                const std::string href = asset.value["href"].GetString();
                hrefs.push_back(href.substr(href.rfind('/') + 1));
            }
            const std::string g = granules[i];
            EXPECT_EQ(hrefs, (std::vector<std::string>{g + ".met", g + ".hdf", g + ".jpg",
                                                       g + "_QA.txt"}))
                << out;
        }
    }
}

// With a base, every asset href is the base and the file's path from the scene folder,
// percent-encoded; the catalogue's own links stay relative.
TEST(StacCatalogue, AssetHrefsFromABase) {
    TempFolder folder;
    fs::create_directories(folder.file("s/2004"));
    folder.write("s/2004/X.met", Replaced(test::GranuleOdl(), kGranule, "X"));
    folder.write("s/2004/X.hdf", "");
    folder.write("s/top.met", Replaced(test::GranuleOdl(), kGranule, "top a"));
    WriteList(folder, "s", {"2004/X.met", "top.met"});
    const std::pair<std::string, std::string> bases[] = {
        {"https://data.example.org/aster/", "https://data.example.org/aster/"},
        {"https://data.example.org/aster", "https://data.example.org/aster/"},
        {"/srv/my data", "/srv/my%20data/"},
        {"/", "/"},
    };
    for (const auto& [base, start] : bases) {
        StacOptions options;
        options.outputPath = folder.file("cat");
        options.overwrite = true;
        options.assetHrefBase = base;
        SceneRunReport report;
        RecordingHost host;
        ASSERT_FALSE(WriteStac(folder.file("s") + "/", options, report, host)) << base;
        const rapidjson::Document x = test::ParseJson(ReadFile(folder.file("cat/X/X.json")));
        EXPECT_EQ(x["assets"]["metadata"]["href"].GetString(), start + "2004/X.met");
        EXPECT_EQ(x["assets"]["hdf"]["href"].GetString(), start + "2004/X.hdf");
        EXPECT_STREQ(x["links"][0]["href"].GetString(), "../collection.json");
        const rapidjson::Document top =
            test::ParseJson(ReadFile(folder.file("cat/top a/top a.json")));
        EXPECT_EQ(top["assets"]["metadata"]["href"].GetString(), start + "top.met");
    }
    for (const char* wrong : {"", "data/scenes", ":x", "1http://x", "http://a b/", "C:\\data",
                              "https://x.org/a#frag/", "https://x.org/a?b=1&c="})
        EXPECT_EQ(AssetHrefBase(wrong), std::nullopt) << wrong;
    StacOptions options;
    options.outputPath = folder.file("other");
    options.assetHrefBase = "relative/path";
    SceneRunReport report;
    RecordingHost host;
    const std::optional<Error> refused = WriteStac(folder.file("s") + "/", options, report, host);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->description, "Neither a URL nor an absolute path: relative/path");
    EXPECT_FALSE(fs::exists(folder.file("other")));
}

// Files put in an earlier catalogue while a run replaces it are never removed with it:
// the new catalogue takes its place, and the earlier folder, whole, is kept beside it
// under the name that the error gives.
TEST(StacCatalogue, FilesPutInTheEarlierCatalogueMeanwhileAreKept) {
    TempFolder folder;
    fs::create_directory(folder.file("s"));
    folder.write("s/a.met", Replaced(test::GranuleOdl(), kGranule, "ID_a"));
    WriteList(folder, "s", {"a.met"});
    const std::string out = folder.file("cat");
    ASSERT_FALSE(Catalogue(folder.file("s"), out).error);
    const std::vector<std::string> earlier = Tree(out);
    RecordingHost host;
    host.stopAfter = [&](std::int64_t) {
        if (!fs::exists(out + "/thesis.tex"))
            folder.write("cat/thesis.tex", "years of work");
        return false;
    };
    folder.write("s/b.met", Replaced(test::GranuleOdl(), kGranule, "ID_b"));
    WriteList(folder, "s", {"b.met"});
    const Outcome outcome = Catalogue(folder.file("s"), out, true, host);
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(Tree(out), (std::vector<std::string>{"ID_b/", "ID_b/ID_b.json", "collection.json"}));
    std::vector<std::string> beside;
    for (const auto& entry : fs::directory_iterator(folder.path()))
        beside.push_back(entry.path().filename().string());
    std::sort(beside.begin(), beside.end());
    ASSERT_EQ(beside.size(), 3u);
    const std::string kept = beside[1];
    EXPECT_EQ(beside[0], "cat");
    EXPECT_TRUE(kept.starts_with("cat.aster-old-")) << kept;
    EXPECT_EQ(kept.size(), std::string("cat.aster-old-XXXXXX").size());
    EXPECT_EQ(outcome.error->description,
              "The new catalogue is at " + out +
                  ", but files that aster does not write were put in the earlier one while the "
                  "run worked, so it was not removed: it is kept whole at " +
                  folder.file(kept));
    std::vector<std::string> keptTree = earlier;
    keptTree.push_back("thesis.tex");
    std::sort(keptTree.begin(), keptTree.end());
    EXPECT_EQ(Tree(folder.file(kept)), keptTree);
    EXPECT_EQ(ReadFile(folder.file(kept + "/thesis.tex")), "years of work");
}

// A catalogue folder replaced keeps its owner and group, mode, access list and default
// access list, as a replaced file does; a new one gets mkdir's mode.
TEST(StacCatalogue, AReplacedCatalogueKeepsItsOwnerModeAndAccessLists) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "giving a folder another owner needs root";
    TempFolder folder;
    fs::create_directory(folder.file("s"));
    folder.write("s/a.met", Replaced(test::GranuleOdl(), kGranule, "ID_a"));
    WriteList(folder, "s", {"a.met"});
    const std::string out = folder.file("cat");
    const mode_t umask = ::umask(022);
    ASSERT_FALSE(Catalogue(folder.file("s"), out).error);
    ::umask(umask);
    struct stat info {};
    ASSERT_EQ(::stat(out.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0755u);

    ASSERT_EQ(::chown(out.c_str(), 4001, 5000), 0);
    const auto setAcl = [&](acl_type_t type, const char* text) {
        acl_t acl = ::acl_from_text(text);
        const bool set = acl != nullptr && ::acl_set_file(out.c_str(), type, acl) == 0;
        ::acl_free(acl);
        return set;
    };
    const auto aclText = [&](acl_type_t type) {
        acl_t acl = ::acl_get_file(out.c_str(), type);
        char* text = acl != nullptr ? ::acl_to_text(acl, nullptr) : nullptr;
        const std::string result = text != nullptr ? text : "<none>";
        ::acl_free(text);
        ::acl_free(acl);
        return result;
    };
    if (!setAcl(ACL_TYPE_ACCESS, "u::rwx,u:4002:r-x,g::r-x,m::r-x,o::---") ||
        !setAcl(ACL_TYPE_DEFAULT, "u::rwx,u:4002:r-x,g::r-x,m::r-x,o::---"))
        GTEST_SKIP() << "no access lists on this file system";
    ::chmod(out.c_str(), 02750);
    const std::string access = aclText(ACL_TYPE_ACCESS);
    const std::string defaults = aclText(ACL_TYPE_DEFAULT);

    ASSERT_FALSE(Catalogue(folder.file("s"), out, true).error);
    ASSERT_EQ(::stat(out.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 4001u);
    EXPECT_EQ(info.st_gid, 5000u);
    EXPECT_EQ(info.st_mode & 07777, 02750u);
    EXPECT_EQ(aclText(ACL_TYPE_ACCESS), access);
    EXPECT_EQ(aclText(ACL_TYPE_DEFAULT), defaults);
    EXPECT_TRUE(fs::exists(out + "/ID_a/ID_a.json"));
}

// An earlier catalogue stays exactly as it was after an error or a stop, is replaced only
// with --overwrite, and a folder that is no catalogue is never replaced.
TEST(StacCatalogue, ReplacedWholeOrNotAtAll) {
    TempFolder folder;
    fs::create_directory(folder.file("s"));
    for (const char* name : {"a", "b", "c"})
        folder.write("s/" + std::string(name) + ".met",
                     Replaced(test::GranuleOdl(), kGranule, std::string("ID_") + name));
    WriteList(folder, "s", {"a.met", "b.met"});
    const std::string out = folder.file("cat");
    ASSERT_FALSE(Catalogue(folder.file("s"), out).error);
    const std::vector<std::string> first = Tree(out);
    const std::string collection = ReadFile(out + "/collection.json");
    const auto unchanged = [&] {
        EXPECT_EQ(Tree(out), first);
        EXPECT_EQ(ReadFile(out + "/collection.json"), collection);
        // Nothing is left beside it either.
        EXPECT_EQ(Tree(folder.path()).size(), first.size() + 6);
    };

    const Outcome exists = Catalogue(folder.file("s"), out);
    ASSERT_TRUE(exists.error);
    EXPECT_EQ(exists.error->kind, ErrorKind::OutputExists);
    unchanged();

    // A stop after the second file, and an error at the third line, change nothing.
    WriteList(folder, "s", {"c.met", "b.met", std::string(70000, 'x'), "a.met"});
    RecordingHost stopping;
    stopping.stopAfter = [](std::int64_t done) { return done >= 2; };
    const Outcome stopped = Catalogue(folder.file("s"), out, true, stopping);
    ASSERT_TRUE(stopped.error);
    EXPECT_TRUE(IsCancellation(*stopped.error));
    unchanged();
    const Outcome failed = Catalogue(folder.file("s"), out, true);
    ASSERT_TRUE(failed.error);
    EXPECT_EQ(failed.error->kind, ErrorKind::LineTooLong);
    unchanged();

    // Files that may not grow as large as an item: the message names the output, not an
    // item only the unfinished catalogue held, and says the earlier one stands.
    WriteList(folder, "s", {"c.met", "b.met"});
    for (const std::string& output : {out, folder.file("items.json")}) {
        SCOPED_TRACE(output);
        const int status = test::InChild([&] {
            ::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{1024, 1024};
            if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
                return test::kSkip;
            const Outcome limited = Catalogue(folder.file("s"), output, true);
            return limited.error && limited.error->code == EFBIG &&
                           limited.error->description == "File too large: " + output &&
                           limited.error->hint.ends_with("Nothing was changed.")
                       ? 0
                       : 1;
        });
        if (status != test::kSkip) {
            EXPECT_EQ(status, 0);
        }
        unchanged();
    }

    // With --overwrite the new catalogue replaces the earlier one whole.
    WriteList(folder, "s", {"c.met"});
    ASSERT_FALSE(Catalogue(folder.file("s"), out, true).error);
    EXPECT_EQ(Tree(out), (std::vector<std::string>{"ID_c/", "ID_c/ID_c.json", "collection.json"}));

    // A folder holding anything this tool's catalogue does not is no catalogue: refused,
    // even with --overwrite, and left as it was. Only an empty folder, or collection.json
    // (a STAC Collection) beside folders holding only their <folder>.json, is replaced.
    // A collection that says aster wrote it, one that an earlier version wrote (its
    // description as aster words it, no provider), and others' of the same layout.
    const std::string kCollection =
        R"({"type": "Collection", "id": "old", "providers": [{"name": "aster", )"
        R"("roles": ["processor"], "processing:software": {"aster": "0.1"}}]})";
    const std::string kEarlier =
        R"({"type": "Collection", "id": "s", "title": "my s", "description": ")" +
        CollectionDescription("my s") + R"("})";
    const std::string kPystac =
        R"({"type": "Collection", "id": "s", "title": "s", "description": "ASTER scenes"})";
    const std::string kOtherProvider =
        R"({"type": "Collection", "id": "s", "title": "s", "description": ")" +
        CollectionDescription("s") + R"(", "providers": [{"name": "LP DAAC"}]})";
    struct Case {
        std::vector<std::pair<std::string, std::string>> files; // path, content
        std::string holds; // what the refusal names; empty when it is replaced
    };
    const std::vector<Case> cases = {
        {{{"thesis.tex", "years of work"}}, "thesis.tex, which aster does not write"},
        {{{"a/a.json", "{}"}}, "no collection.json"},
        {{{"collection.json", "hello"}, {"thesis.tex", "years"}},
         "thesis.tex, which aster does not write"},
        {{{"collection.json", "hello"}}, "a collection.json that is no STAC Collection"},
        {{{"collection.json", R"({"type": "Catalog"})"}},
         "a collection.json that is no STAC Collection"},
        {{{"collection.json", std::string(100000, '[')}},
         "a collection.json that is no STAC Collection"},
        {{{"collection.json", kCollection}, {"notes/notes.txt", "draft"}},
         "notes/notes.txt, which aster does not write"},
        {{{"collection.json", kCollection}, {"a/a.json", "{}"}, {"a/a.tif", "pixels"}},
         "a/a.tif, which aster does not write"},
        {{{"collection.json", kCollection}, {"empty/", ""}},
         "the empty folder empty, which aster does not write"},
        {{{"collection.json", kCollection}, {"a/a.json", "{}"}}, ""},
        {{{"collection.json", kEarlier}, {"a/a.json", "{}"}}, ""},
        {{{"collection.json", kPystac}, {"a/a.json", "{}"}},
         "a collection.json that aster did not write"},
        {{{"collection.json", kOtherProvider}}, "a collection.json that aster did not write"},
        {{{"collection.json", R"({"type": "Collection", "id": "old"})"}},
         "a collection.json that aster did not write"},
        {{}, ""},
    };
    const std::string mine = folder.file("mine");
    for (const Case& c : cases) {
        fs::remove_all(mine);
        fs::create_directory(mine);
        for (const auto& [path, content] : c.files) {
            fs::create_directories(fs::path(mine + "/" + path).parent_path());
            if (!path.ends_with('/'))
                folder.write("mine/" + path, content);
        }
        const std::vector<std::string> before = Tree(mine);
        const Outcome run = Catalogue(folder.file("s"), mine, true);
        if (c.holds.empty()) {
            EXPECT_FALSE(run.error) << before.size();
            EXPECT_EQ(Tree(mine),
                      (std::vector<std::string>{"ID_c/", "ID_c/ID_c.json", "collection.json"}));
            continue;
        }
        ASSERT_TRUE(run.error) << c.holds;
        EXPECT_EQ(run.error->description, "Not a catalogue that aster wrote, so not replaced: " +
                                              mine + " holds " + c.holds);
        EXPECT_EQ(Tree(mine), before);
    }
    // A link in the folder's place is refused, and what it leads to is left alone.
    fs::remove_all(mine);
    fs::create_directory(folder.file("elsewhere"));
    fs::create_directory_symlink(folder.file("elsewhere"), mine);
    const Outcome throughLink = Catalogue(folder.file("s"), mine, true);
    ASSERT_TRUE(throughLink.error);
    EXPECT_EQ(throughLink.error->description, "A link, so not replaced: " + mine);
    EXPECT_TRUE(fs::is_symlink(mine));
    fs::remove(mine);
    fs::remove(folder.file("elsewhere"));
    // Nor the folder of the scenes.
    EXPECT_TRUE(Catalogue(folder.file("s"), folder.path(), true).error);
    EXPECT_EQ(Tree(folder.file("s")).size(), 4u);
}

// A folder made at OUT while the run works is judged as one found at the start: refused
// with the advice to use --overwrite, or, with it, replaced when it is empty or a
// catalogue, and never when it holds anything else.
TEST(StacCatalogue, AnOutputMadeDuringTheRun) {
    TempFolder folder;
    fs::create_directory(folder.file("s"));
    for (const char* name : {"a", "b"})
        folder.write("s/" + std::string(name) + ".met",
                     Replaced(test::GranuleOdl(), kGranule, std::string("ID_") + name));
    WriteList(folder, "s", {"a.met", "b.met"});
    const std::string out = folder.file("cat");
    const auto madeDuring = [&](bool overwrite, const std::string& inside) {
        fs::remove_all(out);
        RecordingHost host;
        host.stopAfter = [&](std::int64_t done) {
            if (done == 1 && !fs::exists(out)) {
                fs::create_directory(out);
                if (!inside.empty())
                    folder.write("cat/" + inside, "mine");
            }
            return false;
        };
        return Catalogue(folder.file("s"), out, overwrite, host);
    };
    const Outcome refused = madeDuring(false, "");
    ASSERT_TRUE(refused.error);
    EXPECT_EQ(refused.error->kind, ErrorKind::OutputExists);
    EXPECT_TRUE(fs::is_empty(out));
    EXPECT_FALSE(madeDuring(true, "").error);
    EXPECT_TRUE(fs::exists(out + "/collection.json"));
    const Outcome kept = madeDuring(true, "thesis.tex");
    ASSERT_TRUE(kept.error);
    EXPECT_EQ(ReadFile(out + "/thesis.tex"), "mine");
    // Nothing is left beside it.
    EXPECT_EQ(Tree(folder.path()).size(), Tree(folder.file("s")).size() + 3);
}

TEST(StacCatalogue, AnItemCollectionReplacesItsFileOnlyWhenAsked) {
    TempFolder folder;
    fs::create_directory(folder.file("s"));
    folder.write("s/a.met", test::GranuleOdl());
    WriteList(folder, "s", {"a.met"});
    folder.write("items.json", "earlier");
    const Outcome refused = Catalogue(folder.file("s"), folder.file("items.json"));
    ASSERT_TRUE(refused.error);
    EXPECT_EQ(refused.error->kind, ErrorKind::OutputExists);
    EXPECT_EQ(folder.read("items.json"), "earlier");
    ::chmod(folder.file("items.json").c_str(), 0640);
    ASSERT_FALSE(Catalogue(folder.file("s"), folder.file("items.json"), true).error);
    struct stat info {};
    ::stat(folder.file("items.json").c_str(), &info);
    EXPECT_EQ(info.st_mode & 0777, 0640u); // kept from the earlier file
    EXPECT_EQ(test::ParseJson(folder.read("items.json"))["features"].Size(), 1u);
}

TEST(Licenses, EverySpdxIdentifierInAnyCaseAndNothingElse) {
    std::ifstream file("/usr/share/nodejs/spdx-license-ids/index.json");
    const std::string text{std::istreambuf_iterator<char>(file), {}};
    const rapidjson::Document ids = test::ParseJson(text);
    ASSERT_TRUE(ids.IsArray());
    ASSERT_GT(ids.Size(), 400u);
    for (const auto& id : ids.GetArray()) {
        std::string lower = id.GetString();
        for (char& c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_EQ(CatalogueLicense(id.GetString()), id.GetString());
        EXPECT_EQ(CatalogueLicense(lower), id.GetString());
    }
    EXPECT_EQ(CatalogueLicense("Proprietary"), "proprietary");
    EXPECT_EQ(CatalogueLicense("various"), "various");
    for (const char* wrong : {"", "MIT ", "GPL", "CC-BY", "nonsense", "MIT OR Apache-2.0"})
        EXPECT_FALSE(CatalogueLicense(wrong)) << wrong;
}

} // namespace
} // namespace aster
