#pragma once

#include "metadata/acquisition_time.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace aster {

// A point on the globe in degrees, longitude first as GIS formats write it.
struct GeoPoint {
    double lon = 0;
    double lat = 0;
    bool operator==(const GeoPoint&) const = default;
};

// The layouts of ECS scene metadata the reader knows.
enum class MetadataLayout {
    None,   // not scene metadata
    Odl,    // the object description layout: GROUP/OBJECT blocks, keywords in any case
    EcsXml, // ECS granule metadata XML, root element GranuleMetaDataFile
    Echo10, // CMR's ECHO 10 granule XML, root element Granule
    UmmG,   // CMR's UMM-G granule JSON
    HdfEos, // an HDF-EOS file's own ECS texts (coremetadata.N, productmetadata.N)
};

// A file's first bytes tell its layout, so the image and HDF files that sit beside the
// metadata are never read further than this.
inline constexpr std::size_t kLayoutSniffBytes = 4096;
// Scene metadata is some kilobytes; a larger file is no scene metadata, and reading it
// whole could take any amount of memory.
inline constexpr std::size_t kMaxMetadataBytes = std::size_t{16} << 20;
// Granule XML is some 12 KB; the parsed document takes up to some 25 times its text, so
// a larger XML file is refused before it is parsed.
inline constexpr std::size_t kMaxXmlBytes = std::size_t{1} << 20;

// The layout of a file's text from its first bytes, by a check of its bytes, no parse:
// ODL's first statement and UMM-G's keys are looked for in the first kLayoutSniffBytes,
// XML's root element after a prolog of any length (up to kMaxXmlBytes).
MetadataLayout SniffLayout(std::string_view text);
// Why a file of no layout SniffLayout knows gives no scene: "not scene metadata", or for
// a compressed file (X.met.gz) "compressed (gzip): uncompress it first".
std::string NoLayoutReason(std::string_view head);
// Whether a file whose first bytes are `head` is worth reading whole: SniffLayout knows
// its layout, or the head ends in XML's prolog (a long comment), which only more can tell.
bool MayBeSceneMetadata(std::string_view head);

// What one granule's metadata gives. Texts are without their quotes: the file's bytes for
// ODL, UTF-8 for XML (its references read) without the blanks around an element's text,
// UTF-8 for JSON as the string holds it. The names below are ECS's; ECHO 10 gives the
// same items from GranuleUR, the collection's ShortName and VersionId, the date and the
// time parts of SingleDateTime else BeginningDateTime, CloudCover and DataGranule's
// DayNightFlag; UMM-G as GranuleUR, CollectionReference's ShortName and Version,
// DataGranule's DayNightFlag, CloudCover, and BeginningDateTime (else SingleDateTime)
// split at its 'T' (or RFC 3339's blank) into dateText and timeText; its polygons' points
// are corners without
// the closing one (the first again).
// An item the file does not give is empty, never guessed.
struct SceneMetadata {
    MetadataLayout layout = MetadataLayout::None;
    std::vector<GeoPoint> corners;           // in file order, 3 or more
    // The further polygons of a footprint given as several (an orbit cut at +-180 comes
    // as one on either side), in any layout, each as `corners` is; the first polygon is
    // `corners`.
    std::vector<std::vector<GeoPoint>> moreRings;
    // The date and the time of day as written, a pair from one group: CalendarDate and
    // TimeofDay, else RangeBeginningDate and RangeBeginningTime (see GranuleItems).
    std::string dateText;
    std::string timeText;
    std::optional<CalendarDate> date;        // the UTC day of `acquired`, else of dateText
    std::optional<UtcMilliseconds> acquired; // date and time together, when both read
    std::optional<std::string> granule;      // LocalGranuleID
    std::optional<std::string> product;      // ShortName
    std::optional<std::string> version;      // VersionID
    std::optional<std::string> dayNight;     // DayNightFlag
    std::optional<double> cloud;             // SceneCloudCoverage, else QAPercentCloudCover: 0..100
    std::optional<double> sunAzimuth;        // Solar_Azimuth_Angle, degrees as written
    std::optional<double> sunElevation;      // Solar_Elevation_Angle, degrees
    // The end of a time range (RangeEndingDate and RangeEndingTime, EndingDateTime), when
    // the file gives one that reads.
    std::optional<UtcMilliseconds> acquiredEnd;
    // The platforms and instruments the file names, in file order, as written (repeats
    // kept: which one a scene claims is the outputs' rule, not the reader's).
    std::vector<std::string> platforms;
    std::vector<std::string> instruments;
    bool operator==(const SceneMetadata&) const = default;
};

// The metadata, or why the file gives none, in a few words for `--verbose`. XML gives the
// first problem in document order, at the line where it is met:
//   "not scene metadata"              SniffLayout finds no layout (NoLayoutReason)
//   "compressed (gzip): uncompress it first", also bzip2, xz, zstd and zip
//   "larger than 16 MiB"              more than kMaxMetadataBytes
//   "larger than 1 MiB"               XML of more than kMaxXmlBytes
//   "no corners"                      no polygon points, GRingPoint lists, four corners
//                                     (SceneFourCorners) or whole bounding rectangle
//   "no corners but a hole's"         (ODL) only a ring its container flags as a hole
//   "fewer than 3 corners"
//   "corner N is not a number"        N counts from 1, in file order; XML adds the line
//   "corner N is out of range"        a number no double holds, such as 1e400 or 1e-400
//   "corner N has no longitude at line M", "... no latitude ..."  (XML)
//   "a bounding coordinate is not a number at line M"            (XML)
//   "4 corner latitudes but 3 longitudes"                         (ODL)
//   "corner latitudes without longitudes", and the other way      (ODL)
//   "four corners without LOWERLEFT", "corner N is not a latitude and a longitude" (ODL)
//   "bounding rectangle without WESTBOUNDINGCOORDINATE", "EASTBOUNDINGCOORDINATE is not a
//   number" (or "is out of range"), "bounding rectangle with its south above its north"
//   "unreadable XML at line N"        not well-formed, cut short, a second root, bytes
//                                     that are not UTF-8 (or ISO-8859-1, UTF-16 as
//                                     declared), a character XML does not allow (a
//                                     control character, NUL, &#0;), a lone '&'
//   "entity declaration refused at line N"                        (XML)
//   "unknown entity at line N"        a reference to any entity but XML's own five: none
//                                     is ever declared, and no DTD is read
//   "root element is not GranuleMetaDataFile at line N", "... Granule ..."  a DOCTYPE
//                                     with declarations named the other root
//   "unreadable ODL at line N"        a byte that starts no statement or value
//   "unclosed text at line N", "unclosed list at line N", "unclosed comment at line N",
//   "no value at line N" (an '=' that ends the file)
//   "nested too deeply at line N"     more than kMaxNesting levels of elements or blocks
//   "a text of more than 65536 bytes at line N", also "a word ...", "an attribute ..."
//   "a list of more than 65536 values at line N", "more than 65536 corners at line N"
//                                     (kMaxTextBytes, kMaxListValues)
//   HDF-EOS texts add where a reader's reason is: "... at line N of the core metadata",
//   "... of the product metadata"
// and for UMM-G JSON, N the byte offset where RapidJSON stopped:
//   "larger than 1 MiB"               more than kMaxJsonBytes
//   "unreadable JSON at offset N"     RapidJSON's syntax error, truncation included
//   "not UTF-8 at offset N"           a string's bytes
//   "nested too deeply at offset N", "a text of more than 65536 bytes at offset N",
//   "a list of more than 65536 values at offset N", "an object of more than 65536 members ..."
//   "Longitude is not a number at offset N", "a point is not an object ...": a taken item
//                                     of the wrong JSON type (null is taken as missing)
//   "corner N has no longitude at offset M", "... no latitude ..." (N across all polygons)
//   "a bounding rectangle has no WestBoundingCoordinate at offset N", and the others,
//   "bounding rectangle with its south above its north at offset N"
//   "polygon N has fewer than 3 corners"   when the footprint has several
struct MetadataOrReason {
    std::optional<SceneMetadata> metadata;
    std::string reason;
};

// Reads a whole file's text in whichever layout SniffLayout finds. Never fails: malformed,
// enormous or deeply nested input gives a reason, in bounded time and memory.
MetadataOrReason ReadSceneMetadata(std::string_view text);

class OdlGranuleReader;
class XmlGranuleReader;
class UmmGranuleReader;

// ReadSceneMetadata for one file after another, keeping the parsers and their buffers
// from file to file: one for each thread that reads.
class SceneMetadataReader {
  public:
    SceneMetadataReader();
    SceneMetadataReader(const SceneMetadataReader&) = delete;
    SceneMetadataReader& operator=(const SceneMetadataReader&) = delete;
    ~SceneMetadataReader();

    MetadataOrReason read(std::string_view text);
    // An HDF-EOS file's ECS texts, both ODL: its core metadata (coremetadata.0 and the
    // parts after it, joined), and its product metadata (ASTER's productmetadata.0; empty
    // when there is none). Each item comes from the core text, else from the product
    // text, which gives ASTER's SCENECLOUDCOVERAGE, SOLARDIRECTION (azimuth, elevation)
    // and SCENEFOURCORNERS. Trailing NUL bytes, as HDF attributes keep them, are ignored.
    // The layout is MetadataLayout::HdfEos.
    MetadataOrReason readHdfTexts(std::string_view core, std::string_view product);

  private:
    std::unique_ptr<OdlGranuleReader> m_odl;
    std::unique_ptr<XmlGranuleReader> m_xml;
    std::unique_ptr<UmmGranuleReader> m_ummg;
};

} // namespace aster
