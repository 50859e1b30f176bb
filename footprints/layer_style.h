#pragma once

#include <string>
#include <string_view>

namespace aster {

// The footprints' default look, made to stay readable where tens of thousands of scenes
// overlap: thin, partly transparent outlines and no fill, so that the base map shows
// through and the edges of single scenes stay apart. QGIS reads it from a .qml file of
// the layer's name beside the layer (every file format but KML, whose placemarks carry a
// style of their own); a database layer can hold the same text in its style table.

// The style as a QGIS style file (.qml), for QGIS 3.22 and later: the symbol; the
// temporal controller on `acquired`, each scene an instant; field aliases that give the
// units; and a map tip naming the granule, its date and its cloud cover.
std::string_view FootprintStyleQml();

// The style for a shapefile, which keeps only the date of `acquired` and cuts
// acquired_end to acquired_e: each scene lasts its whole day, so that a temporal
// controller stepping by hours still finds it on its day.
std::string ShapefileStyleQml();

// The same look as an OGC Styled Layer Descriptor, for style tables that keep one
// beside the QML.
std::string_view FootprintStyleSld();

} // namespace aster
