#pragma once

#include <string>

namespace aster::test {

// One granule written twice: as ECS granule XML and as the capitals ODL that ECS writes.
// Both give the same metadata: four corners, the range's beginning as the time, the
// scene's own cloud cover (12) before the quality statistics (15 and 20), the sun angles.

inline std::string GranuleXml() {
    return R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE GranuleMetaDataFile SYSTEM "ScienceGranuleMetadata.dtd">
<GranuleMetaDataFile>
  <DTDVersion>1.0</DTDVersion>
  <!-- written for the tests: the values describe no real acquisition -->
  <GranuleURMetaData>
    <CollectionMetaData>
      <ShortName>AST_L1B</ShortName>
      <VersionID>3</VersionID>
    </CollectionMetaData>
    <ECSDataGranule>
      <LocalGranuleID>AST_L1B_00304122003183207_20030413120012_12345.hdf</LocalGranuleID>
      <ProductionDateTime>2003-04-13T12:00:12.000Z</ProductionDateTime>
      <DayNightFlag>Day</DayNightFlag>
    </ECSDataGranule>
    <RangeDateTime>
      <RangeEndingTime>18:32:16.302000</RangeEndingTime>
      <RangeEndingDate>2003-04-12</RangeEndingDate>
      <RangeBeginningTime>18:32:07.414000</RangeBeginningTime>
      <RangeBeginningDate>2003-04-12</RangeBeginningDate>
    </RangeDateTime>
    <SpatialDomainContainer>
      <HorizontalSpatialDomainContainer>
        <GPolygon>
          <Boundary>
            <Point>
              <PointLongitude>-117.204518</PointLongitude>
              <PointLatitude>36.512345</PointLatitude>
            </Point>
            <Point>
              <PointLongitude>-116.502783</PointLongitude>
              <PointLatitude>36.402871</PointLatitude>
            </Point>
            <Point><PointLatitude>35.872310</PointLatitude><PointLongitude>-116.641209</PointLongitude></Point>
            <Point>
              <PointLongitude>  -117.342651
              </PointLongitude>
              <PointLatitude>35.981734</PointLatitude>
            </Point>
          </Boundary>
        </GPolygon>
      </HorizontalSpatialDomainContainer>
    </SpatialDomainContainer>
    <MeasuredParameters>
      <MeasuredParameterContainer>
        <ParameterName>AST_L1B</ParameterName>
        <QAStats>
          <QAPercentCloudCover>20</QAPercentCloudCover>
        </QAStats>
      </MeasuredParameterContainer>
    </MeasuredParameters>
    <Platform>
      <PlatformShortName>AM-1</PlatformShortName>
    </Platform>
    <PSAs>
      <PSA>
        <PSAName>QAPercentCloudCover</PSAName>
        <PSAValue>15</PSAValue>
      </PSA>
      <PSA>
        <PSAName>SceneCloudCoverage</PSAName>
        <PSAValue>12</PSAValue>
      </PSA>
      <PSA>
        <PSAName>Solar_Azimuth_Angle</PSAName>
        <PSAValue>142.615</PSAValue>
      </PSA>
      <PSA>
        <PSAValue>58.7</PSAValue>
        <PSAName>Solar_Elevation_Angle</PSAName>
      </PSA>
      <PSA>
        <PSAName>ASTERMapOrientationAngle</PSAName>
        <PSAValue>9.4</PSAValue>
      </PSA>
    </PSAs>
  </GranuleURMetaData>
</GranuleMetaDataFile>
)";
}

inline std::string GranuleOdl() {
    std::string text;
    const auto line = [&text](const std::string& s) { text += s + "\n"; };
    const auto object = [&](const std::string& indent, const std::string& name,
                            const std::string& value, const std::string& classText = "") {
        line(indent + "OBJECT                 = " + name);
        if (!classText.empty())
            line(indent + "  CLASS                = \"" + classText + "\"");
        line(indent + "  NUM_VAL              = 1");
        line(indent + "  VALUE                = " + value);
        line(indent + "END_OBJECT             = " + name);
    };
    line("");
    line("GROUP                  = INVENTORYMETADATA");
    line("  GROUPTYPE            = MASTERGROUP");
    line("  /* written for the tests: the values describe no real acquisition */");
    line("  GROUP                  = ECSDATAGRANULE");
    object("    ", "LOCALGRANULEID", "\"AST_L1B_00304122003183207_20030413120012_12345.hdf\"");
    object("    ", "PRODUCTIONDATETIME", "\"2003-04-13T12:00:12.000Z\"");
    object("    ", "DAYNIGHTFLAG", "\"Day\"");
    line("  END_GROUP              = ECSDATAGRANULE");
    line("  GROUP                  = COLLECTIONDESCRIPTIONCLASS");
    object("    ", "SHORTNAME", "\"AST_L1B\"");
    object("    ", "VERSIONID", "3");
    line("  END_GROUP              = COLLECTIONDESCRIPTIONCLASS");
    line("  GROUP                  = RANGEDATETIME");
    object("    ", "RANGEENDINGTIME", "\"18:32:16.302000\"");
    object("    ", "RANGEENDINGDATE", "\"2003-04-12\"");
    object("    ", "RANGEBEGINNINGTIME", "\"18:32:07.414000\"");
    object("    ", "RANGEBEGINNINGDATE", "\"2003-04-12\"");
    line("  END_GROUP              = RANGEDATETIME");
    line("  GROUP                  = ASSOCIATEDPLATFORMINSTRUMENTSENSOR");
    line("    OBJECT                 = ASSOCIATEDPLATFORMINSTRUMENTSENSORCONTAINER");
    line("      CLASS                = \"1\"");
    object("      ", "ASSOCIATEDSENSORSHORTNAME", "\"ASTER_VNIR\"", "1");
    object("      ", "ASSOCIATEDPLATFORMSHORTNAME", "\"AM-1\"", "1");
    object("      ", "ASSOCIATEDINSTRUMENTSHORTNAME", "\"ASTER\"", "1");
    line("    END_OBJECT             = ASSOCIATEDPLATFORMINSTRUMENTSENSORCONTAINER");
    line("  END_GROUP              = ASSOCIATEDPLATFORMINSTRUMENTSENSOR");
    line("  GROUP                  = SPATIALDOMAINCONTAINER");
    line("    GROUP                  = HORIZONTALSPATIALDOMAINCONTAINER");
    line("      GROUP                  = GPOLYGON");
    line("        OBJECT                 = GPOLYGONCONTAINER");
    line("          CLASS                = \"1\"");
    line("          GROUP                  = GRINGPOINT");
    line("            CLASS                = \"1\"");
    line("            OBJECT                 = GRINGPOINTLONGITUDE");
    line("              NUM_VAL              = 4");
    line("              CLASS                = \"1\"");
    line("              VALUE                = (-117.204518, -116.502783,");
    line("                                      -116.641209, -117.342651)");
    line("            END_OBJECT             = GRINGPOINTLONGITUDE");
    line("            OBJECT                 = GRINGPOINTLATITUDE");
    line("              NUM_VAL              = 4");
    line("              CLASS                = \"1\"");
    line("              VALUE                = (36.512345, 36.402871, 35.872310, 35.981734)");
    line("            END_OBJECT             = GRINGPOINTLATITUDE");
    line("          END_GROUP              = GRINGPOINT");
    line("        END_OBJECT             = GPOLYGONCONTAINER");
    line("      END_GROUP              = GPOLYGON");
    line("    END_GROUP              = HORIZONTALSPATIALDOMAINCONTAINER");
    line("  END_GROUP              = SPATIALDOMAINCONTAINER");
    line("  GROUP                  = MEASUREDPARAMETER");
    line("    OBJECT                 = MEASUREDPARAMETERCONTAINER");
    line("      CLASS                = \"1\"");
    line("      GROUP                  = QASTATS");
    line("        CLASS                = \"1\"");
    object("        ", "QAPERCENTCLOUDCOVER", "20", "1");
    line("      END_GROUP              = QASTATS");
    object("      ", "PARAMETERNAME", "\"AST_L1B\"", "1");
    line("    END_OBJECT             = MEASUREDPARAMETERCONTAINER");
    line("  END_GROUP              = MEASUREDPARAMETER");
    line("  GROUP                  = ADDITIONALATTRIBUTES");
    const auto attribute = [&](const std::string& classText, const std::string& name,
                               const std::string& value, bool valueFirst) {
        line("    OBJECT                 = ADDITIONALATTRIBUTESCONTAINER");
        line("      CLASS                = \"" + classText + "\"");
        const auto valuePart = [&] {
            line("      GROUP                  = INFORMATIONCONTENT");
            line("        CLASS                = \"" + classText + "\"");
            object("        ", "PARAMETERVALUE", value, classText);
            line("      END_GROUP              = INFORMATIONCONTENT");
        };
        if (valueFirst)
            valuePart();
        object("      ", "ADDITIONALATTRIBUTENAME", "\"" + name + "\"", classText);
        if (!valueFirst)
            valuePart();
        line("    END_OBJECT             = ADDITIONALATTRIBUTESCONTAINER");
    };
    attribute("1", "QAPercentCloudCover", "\"15\"", false);
    attribute("2", "SceneCloudCoverage", "\"12\"", false);
    attribute("3", "Solar_Azimuth_Angle", "\"142.615\"", false);
    attribute("4", "Solar_Elevation_Angle", "\"58.7\"", true);
    attribute("5", "ASTERMapOrientationAngle", "\"9.4\"", false);
    line("  END_GROUP              = ADDITIONALATTRIBUTES");
    line("END_GROUP              = INVENTORYMETADATA");
    line("END");
    return text;
}

// The same granule again, with its platform's two instruments, as ECS granule XML and as
// ECHO 10 granule XML, its footprint as a polygon or as a bounding rectangle only. The
// ECHO 10 texts carry what must not be taken: a second polygon, a sensor's ShortName
// inside an instrument, a ShortName outside the collection.
enum class SampleFootprint { Polygon, Box };

inline std::string EcsGranuleXml(SampleFootprint footprint) {
    const std::string spatial =
        footprint == SampleFootprint::Polygon
            ? R"(<GPolygon><Boundary>
          <Point><PointLongitude>-117.204518</PointLongitude><PointLatitude>36.512345</PointLatitude></Point>
          <Point><PointLongitude>-116.502783</PointLongitude><PointLatitude>36.402871</PointLatitude></Point>
          <Point><PointLongitude>-116.641209</PointLongitude><PointLatitude>35.872310</PointLatitude></Point>
          <Point><PointLongitude>-117.342651</PointLongitude><PointLatitude>35.981734</PointLatitude></Point>
        </Boundary></GPolygon>)"
            : R"(<BoundingRectangle>
          <WestBoundingCoordinate>-117.342651</WestBoundingCoordinate>
          <NorthBoundingCoordinate>36.512345</NorthBoundingCoordinate>
          <EastBoundingCoordinate>-116.502783</EastBoundingCoordinate>
          <SouthBoundingCoordinate>35.872310</SouthBoundingCoordinate>
        </BoundingRectangle>)";
    return R"(<?xml version="1.0" encoding="UTF-8"?>
<GranuleMetaDataFile>
  <GranuleURMetaData>
    <CollectionMetaData><ShortName>AST_L1B</ShortName><VersionID>3</VersionID></CollectionMetaData>
    <ECSDataGranule>
      <LocalGranuleID>AST_L1B_00304122003183207_20030413120012_12345.hdf</LocalGranuleID>
      <DayNightFlag>Day</DayNightFlag>
    </ECSDataGranule>
    <RangeDateTime>
      <RangeBeginningTime>18:32:07.414000</RangeBeginningTime>
      <RangeBeginningDate>2003-04-12</RangeBeginningDate>
      <RangeEndingTime>18:32:16.302000</RangeEndingTime>
      <RangeEndingDate>2003-04-12</RangeEndingDate>
    </RangeDateTime>
    <SpatialDomainContainer><HorizontalSpatialDomainContainer>
        )" + spatial + R"(
    </HorizontalSpatialDomainContainer></SpatialDomainContainer>
    <Platform>
      <PlatformShortName>AM-1</PlatformShortName>
      <Instrument><InstrumentShortName>ASTER</InstrumentShortName></Instrument>
      <Instrument><InstrumentShortName>MODIS</InstrumentShortName></Instrument>
    </Platform>
    <PSAs><PSA><PSAName>SceneCloudCoverage</PSAName><PSAValue>12</PSAValue></PSA></PSAs>
  </GranuleURMetaData>
</GranuleMetaDataFile>
)";
}

inline std::string Echo10GranuleXml(SampleFootprint footprint) {
    const std::string geometry = footprint == SampleFootprint::Polygon ? R"(<GPolygon>
            <Boundary>
              <Point><PointLongitude>-117.204518</PointLongitude><PointLatitude>36.512345</PointLatitude></Point>
              <Point><PointLongitude>-116.502783</PointLongitude><PointLatitude>36.402871</PointLatitude></Point>
              <Point><PointLongitude>-116.641209</PointLongitude><PointLatitude>35.872310</PointLatitude></Point>
              <Point><PointLongitude>-117.342651</PointLongitude><PointLatitude>35.981734</PointLatitude></Point>
            </Boundary>
          </GPolygon>)"
                                                                       : R"(<BoundingRectangle>
            <WestBoundingCoordinate>-117.342651</WestBoundingCoordinate>
            <NorthBoundingCoordinate>36.512345</NorthBoundingCoordinate>
            <EastBoundingCoordinate>-116.502783</EastBoundingCoordinate>
            <SouthBoundingCoordinate>35.872310</SouthBoundingCoordinate>
          </BoundingRectangle>)";
    return R"(<?xml version="1.0" encoding="UTF-8"?>
<!-- written for the tests: the values describe no real acquisition -->
<Granule>
  <GranuleUR>SC:AST_L1B.003:2148809731</GranuleUR>
  <InsertTime>2003-04-13T12:00:12.000Z</InsertTime>
  <Collection>
    <ShortName>AST_L1B</ShortName>
    <VersionId>3</VersionId>
  </Collection>
  <DataGranule>
    <ProducerGranuleId>AST_L1B_00304122003183207_20030413120012_12345.hdf</ProducerGranuleId>
    <DayNightFlag>DAY</DayNightFlag>
  </DataGranule>
  <Temporal>
    <RangeDateTime>
      <BeginningDateTime>2003-04-12T18:32:07.414Z</BeginningDateTime>
      <EndingDateTime>2003-04-12T18:32:16.302Z</EndingDateTime>
    </RangeDateTime>
  </Temporal>
  <Spatial>
    <HorizontalSpatialDomain>
      <Geometry>
          )" + geometry + R"(
      </Geometry>
    </HorizontalSpatialDomain>
  </Spatial>
  <Platforms>
    <Platform>
      <ShortName>AM-1</ShortName>
      <Instruments>
        <Instrument>
          <ShortName>ASTER</ShortName>
          <Sensors><Sensor><ShortName>VNIR</ShortName></Sensor></Sensors>
        </Instrument>
        <Instrument><ShortName>MODIS</ShortName></Instrument>
      </Instruments>
    </Platform>
  </Platforms>
  <OrbitCalculatedSpatialDomains>
    <OrbitCalculatedSpatialDomain><ShortName>not the collection</ShortName></OrbitCalculatedSpatialDomain>
  </OrbitCalculatedSpatialDomains>
  <CloudCover>12</CloudCover>
</Granule>
)";
}

} // namespace aster::test
