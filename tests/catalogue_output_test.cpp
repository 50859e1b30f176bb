#include "catalogue/catalogue_output.h"

#include <gtest/gtest.h>
#include <limits>
#include <sstream>

namespace aster {
namespace {

SceneRecord WorkedExample() {
    SceneRecord r;
    r.SceneNumber = 3;
    r.FullPath = "/data/scenes/scene3.met";
    r.SceneTime = "18:42:20.123000Z";
    r.SceneDate = "2001-05-20";
    r.Lat1 = "34.1";
    r.Lat2 = " 34.0";
    r.Lat3 = " 33.4";
    r.Lat4 = " 33.5";
    r.Lon1 = "-118.1";
    r.Lon2 = " -117.4";
    r.Lon3 = " -117.6";
    r.Lon4 = " -118.3";
    return r;
}

TEST(CatalogueOutput, WorkedExampleBytes) {
    std::ostringstream polys;
    AppendPolygonBlock(polys, WorkedExample());
    EXPECT_EQ(polys.str(), " 3 ,-118.1,34.1\r\n"
                           "-118.1,34.1\r\n"
                           " -117.4, 34.0\r\n"
                           " -117.6, 33.4\r\n"
                           " -118.3, 33.5\r\n"
                           "End\r\n");

    std::ostringstream table;
    AppendTableRow(table, WorkedExample());
    EXPECT_EQ(table.str(), " 3 \t/data/scenes/scene3.met\t18:42:20.123000Z\t2001-05-20"
                           "\t34.1\t-118.1\t 34.0\t -117.4\t 33.4\t -117.6\t 33.5\t -118.3\r\n");
}

TEST(CatalogueOutput, EmptyRecordKeepsEveryDelimiter) {
    SceneRecord r;
    r.SceneNumber = 12;
    r.FullPath = "/d//gone.met";
    std::ostringstream polys;
    AppendPolygonBlock(polys, r);
    EXPECT_EQ(polys.str(), " 12 ,,\r\n,\r\n,\r\n,\r\n,\r\nEnd\r\n");
    std::ostringstream table;
    AppendTableRow(table, r);
    EXPECT_EQ(table.str(), " 12 \t/d//gone.met\t\t\t\t\t\t\t\t\t\t\r\n");
}

TEST(CatalogueOutput, ValuesAreWrittenUnchanged) {
    SceneRecord r;
    r.SceneNumber = std::numeric_limits<std::int32_t>::max();
    r.FullPath = std::string_view("/d/a\tb\xff\0c", 9);
    r.SceneTime = "x\r\ny";
    r.Lat1 = "1,5";
    std::ostringstream table;
    AppendTableRow(table, r);
    EXPECT_EQ(table.str(), std::string(" 2147483647 \t/d/a\tb\xff\0c\tx\r\ny\t\t1,5", 32) +
                               std::string(7, '\t') + "\r\n");
    std::ostringstream polys;
    AppendClosingLine(polys);
    EXPECT_EQ(polys.str(), "End\r\n");
}

} // namespace
} // namespace aster
