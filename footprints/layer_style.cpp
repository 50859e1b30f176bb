#include "footprints/layer_style.h"

#include <ogrsf_frmts.h>

#include <array>

namespace aster {

namespace {

// Outline colour, width and join as QGIS 3 writes them; the legacy <prop> elements beside
// the <Option> map keep older versions of QGIS reading the same look.
constexpr std::string_view kQml = R"(<!DOCTYPE qgis PUBLIC 'http://mrcc.com/qgis.dtd' 'SYSTEM'>
<qgis version="3.22.0" styleCategories="Symbology">
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
            <Option type="QString" name="outline_color" value="227,26,28,255"/>
            <Option type="QString" name="outline_style" value="solid"/>
            <Option type="QString" name="outline_width" value="0.3"/>
            <Option type="QString" name="outline_width_unit" value="MM"/>
            <Option type="QString" name="style" value="no"/>
          </Option>
          <prop k="border_width_map_unit_scale" v="3x:0,0,0,0,0,0"/>
          <prop k="color" v="0,0,0,0"/>
          <prop k="joinstyle" v="bevel"/>
          <prop k="offset" v="0,0"/>
          <prop k="offset_map_unit_scale" v="3x:0,0,0,0,0,0"/>
          <prop k="offset_unit" v="MM"/>
          <prop k="outline_color" v="227,26,28,255"/>
          <prop k="outline_style" v="solid"/>
          <prop k="outline_width" v="0.3"/>
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
  <layerGeometryType>2</layerGeometryType>
</qgis>
)";

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

struct StyleColumn {
    const char* name;
    OGRFieldType type;
    int width; // 0: unbounded
};

// The columns as QGIS creates them when it saves a style into a GeoPackage; it finds a
// layer's default style by f_table_name, f_geometry_column and useAsDefault.
constexpr std::array<StyleColumn, 12> kStyleColumns{{
    {"f_table_catalog", OFTString, 256},
    {"f_table_schema", OFTString, 256},
    {"f_table_name", OFTString, 256},
    {"f_geometry_column", OFTString, 256},
    {"styleName", OFTString, 30},
    {"styleQML", OFTString, 0},
    {"styleSLD", OFTString, 0},
    {"useAsDefault", OFTInteger, 0},
    {"description", OFTString, 0},
    {"owner", OFTString, 30},
    {"ui", OFTString, 30},
    {"update_time", OFTDateTime, 0},
}};

} // namespace

std::string_view FootprintStyleQml() {
    return kQml;
}

std::string_view FootprintStyleSld() {
    return kSld;
}

bool AddGeoPackageStyle(GDALDataset& dataset, OGRLayer& layer) {
    CPLStringList options;
    options.SetNameValue("FID", "id");
    OGRLayer* styles = dataset.CreateLayer("layer_styles", nullptr, wkbNone, options.List());
    if (styles == nullptr)
        return false;
    for (const StyleColumn& column : kStyleColumns) {
        OGRFieldDefn field(column.name, column.type);
        if (column.width > 0)
            field.SetWidth(column.width);
        if (column.type == OFTInteger)
            field.SetSubType(OFSTBoolean);
        if (column.type == OFTDateTime)
            field.SetDefault("CURRENT_TIMESTAMP");
        if (styles->CreateField(&field) != OGRERR_NONE)
            return false;
    }
    const OGRFeatureUniquePtr row(OGRFeature::CreateFeature(styles->GetLayerDefn()));
    const std::string name = layer.GetName();
    // QGIS looks a layer's styles up with an empty catalog and schema, not nulls.
    row->SetField("f_table_catalog", "");
    row->SetField("f_table_schema", "");
    row->SetField("f_table_name", name.c_str());
    row->SetField("f_geometry_column", layer.GetGeometryColumn());
    row->SetField("styleName", name.c_str());
    row->SetField("styleQML", std::string(kQml).c_str());
    row->SetField("styleSLD", std::string(kSld).c_str());
    row->SetField("useAsDefault", 1);
    row->SetField("description", "Outlines only, no fill");
    row->SetField("owner", "");
    return styles->CreateFeature(row.get()) == OGRERR_NONE;
}

} // namespace aster
