#include "footprints/layer_style.h"

#include <string>

namespace aster {

namespace {

// Outline colour, width and join as QGIS 3 writes them; the legacy <prop> elements beside
// the <Option> map keep older versions of QGIS reading the same look. The outline is red
// at 60 %, 0.26 mm wide, and the layer is drawn at 40 % opacity over the map: however many
// scenes overlap (20,000 of them lie some thirty deep on a pixel, and outlines of any
// opacity add up to solid red), the layer as a whole never covers more than 40 % of what
// lies beneath, and one scene alone is a faint line (24 %). The temporal
// controller's mode 4 is "start and end from expressions" (QGIS reads the mode as a
// number): a scene lasts from its acquisition to the end of its range, or is an instant
// where it has none; an end on a field that is null would keep it drawn forever.
constexpr std::string_view kQml = R"qml(<!DOCTYPE qgis PUBLIC 'http://mrcc.com/qgis.dtd' 'SYSTEM'>
<qgis version="3.22.0" styleCategories="Symbology|Rendering|Fields|MapTips|Temporal">
  <temporal enabled="1" mode="4" startField="acquired" endField="" startExpression="&quot;acquired&quot;" endExpression="coalesce(&quot;acquired_end&quot;, &quot;acquired&quot;)" durationField="" durationUnit="min" fixedDuration="0" accumulate="0" limitMode="0">
    <fixedRange>
      <start></start>
      <end></end>
    </fixedRange>
  </temporal>
  <renderer-v2 type="singleSymbol" symbollevels="0" forceraster="0" enableorderby="0" referencescale="-1">
    <symbols>
      <symbol type="fill" name="0" alpha="1" clip_to_extent="1" force_rhr="0">
        <layer class="SimpleFill" enabled="1" locked="0" pass="0">
          <Option type="Map">
            <Option type="QString" name="border_width_map_unit_scale" value="3x:0,0,0,0,0,0"/>
            <Option type="QString" name="color" value="0,0,0,0"/>
            <Option type="QString" name="joinstyle" value="bevel"/>
            <Option type="QString" name="offset" value="0,0"/>
            <Option type="QString" name="offset_map_unit_scale" value="3x:0,0,0,0,0,0"/>
            <Option type="QString" name="offset_unit" value="MM"/>
            <Option type="QString" name="outline_color" value="227,26,28,153"/>
            <Option type="QString" name="outline_style" value="solid"/>
            <Option type="QString" name="outline_width" value="0.26"/>
            <Option type="QString" name="outline_width_unit" value="MM"/>
            <Option type="QString" name="style" value="no"/>
          </Option>
          <prop k="border_width_map_unit_scale" v="3x:0,0,0,0,0,0"/>
          <prop k="color" v="0,0,0,0"/>
          <prop k="joinstyle" v="bevel"/>
          <prop k="offset" v="0,0"/>
          <prop k="offset_map_unit_scale" v="3x:0,0,0,0,0,0"/>
          <prop k="offset_unit" v="MM"/>
          <prop k="outline_color" v="227,26,28,153"/>
          <prop k="outline_style" v="solid"/>
          <prop k="outline_width" v="0.26"/>
          <prop k="outline_width_unit" v="MM"/>
          <prop k="style" v="no"/>
        </layer>
      </symbol>
    </symbols>
    <rotation/>
    <sizescale/>
  </renderer-v2>
  <blendMode>0</blendMode>
  <featureBlendMode>0</featureBlendMode>
  <aliases>
    <alias field="scene" index="0" name="listed file (number)"/>
    <alias field="path" index="1" name="file path"/>
    <alias field="name" index="2" name="file name"/>
    <alias field="acq_date" index="3" name="acquisition date (UTC)"/>
    <alias field="acq_time" index="4" name="acquisition time (as written)"/>
    <alias field="acquired" index="5" name="acquired (UTC)"/>
    <alias field="lat1" index="6" name="corner 1 latitude (°)"/>
    <alias field="lat2" index="7" name="corner 2 latitude (°)"/>
    <alias field="lat3" index="8" name="corner 3 latitude (°)"/>
    <alias field="lat4" index="9" name="corner 4 latitude (°)"/>
    <alias field="lon1" index="10" name="corner 1 longitude (°)"/>
    <alias field="lon2" index="11" name="corner 2 longitude (°)"/>
    <alias field="lon3" index="12" name="corner 3 longitude (°)"/>
    <alias field="lon4" index="13" name="corner 4 longitude (°)"/>
    <alias field="granule" index="14" name="granule ID"/>
    <alias field="product" index="15" name="product"/>
    <alias field="version" index="16" name="product version"/>
    <alias field="day_night" index="17" name="day or night"/>
    <alias field="cloud" index="18" name="cloud cover (%)"/>
    <alias field="sun_azim" index="19" name="sun azimuth (°)"/>
    <alias field="sun_elev" index="20" name="sun elevation (°)"/>
    <alias field="platform" index="21" name="platform"/>
    <alias field="instrument" index="22" name="instrument"/>
    <alias field="acquired_end" index="23" name="acquisition end (UTC)"/>
  </aliases>
  <previewExpression>coalesce("granule", "name")</previewExpression>
  <mapTip>&lt;b>[% coalesce("granule", "name") %]&lt;/b>&lt;br>[% "acq_date" %][% ', cloud cover ' || "cloud" || ' %' %]</mapTip>
  <layerOpacity>0.4</layerOpacity>
  <layerGeometryType>2</layerGeometryType>
</qgis>
)qml";

constexpr std::string_view kSld = R"(<?xml version="1.0" encoding="UTF-8"?>
<StyledLayerDescriptor xmlns="http://www.opengis.net/sld" xmlns:ogc="http://www.opengis.net/ogc" xmlns:se="http://www.opengis.net/se" xmlns:xlink="http://www.w3.org/1999/xlink" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" version="1.1.0" xsi:schemaLocation="http://www.opengis.net/sld http://schemas.opengis.net/sld/1.1.0/StyledLayerDescriptor.xsd">
  <NamedLayer>
    <se:Name>footprints</se:Name>
    <UserStyle>
      <se:Name>footprints</se:Name>
      <se:FeatureTypeStyle>
        <se:Rule>
          <se:Name>Single symbol</se:Name>
          <se:PolygonSymbolizer>
            <se:Stroke>
              <se:SvgParameter name="stroke">#e31a1c</se:SvgParameter>
              <se:SvgParameter name="stroke-opacity">0.4</se:SvgParameter>
              <se:SvgParameter name="stroke-width">1</se:SvgParameter>
              <se:SvgParameter name="stroke-linejoin">bevel</se:SvgParameter>
            </se:Stroke>
          </se:PolygonSymbolizer>
        </se:Rule>
      </se:FeatureTypeStyle>
    </UserStyle>
  </NamedLayer>
</StyledLayerDescriptor>
)";

} // namespace

std::string_view FootprintStyleQml() {
    return kQml;
}

std::string ShapefileStyleQml() {
    std::string qml(kQml);
    const auto replace = [&qml](std::string_view from, std::string_view to) {
        qml.replace(qml.find(from), from.size(), to);
    };
    // A scene lasts from its day's start to the next day's, whichever day its range ends.
    replace("endExpression=\"coalesce(&quot;acquired_end&quot;, &quot;acquired&quot;)\"",
            "endExpression=\"coalesce(&quot;acquired_e&quot;, &quot;acquired&quot;) + "
            "to_interval('1 day')\"");
    replace(R"(<alias field="acquired_end")", R"(<alias field="acquired_e")");
    return qml;
}

std::string_view FootprintStyleSld() {
    return kSld;
}

} // namespace aster
