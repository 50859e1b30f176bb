#pragma once

#include <string>

namespace aster::test {

// A scene metadata text in the layout the reader expects, with CR LF line ends.
inline std::string SceneText(const std::string& time, const std::string& date,
                             const std::string& lats, const std::string& lons) {
    std::string text;
    const auto line = [&text](const std::string& s) { text += s + "\r\n"; };
    line("GROUP                  = INVENTORYMETADATA");
    line("  GROUPTYPE            = MASTERGROUP");
    line("  GROUP                  = SingleDateTime");
    line("    OBJECT                 = TimeofDay");
    line("      NUM_VAL              = 1");
    line("      Value                = \"" + time + "\"");
    line("      TYPE                 = \"STRING\"");
    line("    END_OBJECT             = TimeofDay");
    line("    OBJECT                 = CalendarDate");
    line("      NUM_VAL              = 1");
    line("      Value                = \"" + date + "\"");
    line("      TYPE                 = \"STRING\"");
    line("    END_OBJECT             = CalendarDate");
    line("  END_GROUP              = SingleDateTime");
    line("  GROUP                  = SpatialDomainContainer");
    line("    OBJECT                 = GRingPointLatitude");
    line("      NUM_VAL              = 4");
    line("      Value = (" + lats + ")");
    line("      TYPE                 = \"DOUBLE\"");
    line("    END_OBJECT             = GRingPointLatitude");
    line("    OBJECT                 = GRingPointLongitude");
    line("      NUM_VAL              = 4");
    line("      Value = (" + lons + ")");
    line("      TYPE                 = \"DOUBLE\"");
    line("    END_OBJECT             = GRingPointLongitude");
    line("  END_GROUP              = SpatialDomainContainer");
    line("END_GROUP              = INVENTORYMETADATA");
    line("END");
    return text;
}

// The scene of the worked example: time, date and the corner lists used throughout.
inline std::string ExampleScene() {
    return SceneText("18:42:20.123000Z", "2001-05-20", "34.1, 34.0, 33.4, 33.5",
                     "-118.1, -117.4, -117.6, -118.3");
}

} // namespace aster::test
