#pragma once

#include "metadata/acquisition_time.h"
#include "metadata/footprint_shape.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace aster {

// The STAC documents this tool writes (STAC 1.0.0), as plain values, and the functions that
// write each object through RapidJSON. All texts are UTF-8; hrefs are URI references,
// already percent-encoded: relative, but for assets from a base the user gave.

inline constexpr std::string_view kStacVersion = "1.0.0";
inline constexpr std::string_view kEoExtension =
    "https://stac-extensions.github.io/eo/v1.1.0/schema.json";
inline constexpr std::string_view kViewExtension =
    "https://stac-extensions.github.io/view/v1.0.0/schema.json";
inline constexpr std::string_view kProcessingExtension =
    "https://stac-extensions.github.io/processing/v1.1.0/schema.json";
// The name the processor provider gives this tool, and its key in processing:software.
inline constexpr std::string_view kSoftwareName = "aster";

// A file an item points at.
struct StacAsset {
    std::string key;  // unique within the item
    std::string href; // relative to the item's own file, or from StacOptions::assetHrefBase
    std::string type; // media type; empty when not known
    // "data", "overview" or "metadata", the first browse image "thumbnail" and "overview";
    // none when not known.
    std::vector<std::string> roles;
    bool operator==(const StacAsset&) const = default;
};

// One scene as a STAC Item.
struct StacItem {
    std::string id;
    std::string collection;     // the collection's id
    // In a static catalogue an item also links to its root and its parent, which are the
    // collection, in the folder above the item's; in an ItemCollection it names only its
    // collection, in the file's folder.
    bool inCatalogue = true;
    FootprintShape shape;
    BoundingBox bbox;
    UtcMilliseconds datetime{};
    // The end of the scene's time range, when its metadata gives one: the item then has
    // start_datetime (datetime) and end_datetime.
    std::optional<UtcMilliseconds> end;
    std::optional<std::string> platform;  // lower case; none when not known
    std::vector<std::string> instruments; // lower case
    std::optional<double> cloudCover;   // percent, 0 to 100
    std::optional<double> sunAzimuth;   // degrees, [0, 360)
    std::optional<double> sunElevation; // degrees, -90 to 90
    std::optional<std::string> shortName;
    std::optional<std::string> version;
    std::vector<StacAsset> assets; // in the order written
};

// The collection's extent: the union of its items' boxes and the span of their times.
// The union's longitudes are the smallest arc that holds every box: it leaves out the
// widest stretch of longitude that no box touches, found on a ring of tenth-of-a-degree
// cells, so its memory does not grow with the items.
class StacExtent {
  public:
    StacExtent();
    void add(const BoundingBox& box, UtcMilliseconds datetime);
    bool empty() const { return !m_first; }
    // The boxes the collection lists: the overall box first (west > east when it crosses
    // the antimeridian), then, when it does, its parts on either side. Without items, the
    // whole globe.
    std::vector<BoundingBox> boxes() const;
    std::optional<UtcMilliseconds> first() const { return m_first; }
    std::optional<UtcMilliseconds> last() const { return m_last; }

  private:
    static constexpr int kCells = 3600;
    static int CellOf(double longitude);
    void cover(int from, int to);

    std::vector<bool> m_covered;
    // Per cell, the westmost west edge and the eastmost east edge of the boxes whose edge
    // lies in it: where the covered stretch next to the gap starts and ends exactly.
    std::vector<double> m_westIn, m_eastIn;
    double m_south = 90, m_north = -90;
    std::optional<UtcMilliseconds> m_first, m_last;
};

// Distinct texts in the order first seen, up to a bound, for a collection's summaries.
class SummaryValues {
  public:
    void add(std::string_view value);
    const std::vector<std::string>& values() const { return m_values; }

  private:
    static constexpr std::size_t kMaxValues = 256;
    std::vector<std::string> m_values;
};

// The smallest and largest of the values seen, for a collection's summaries.
class SummaryRange {
  public:
    void add(const std::optional<double>& value);
    bool empty() const { return !m_minimum; }
    double minimum() const { return *m_minimum; }
    double maximum() const { return *m_maximum; }

  private:
    std::optional<double> m_minimum, m_maximum;
};

struct StacCollection {
    std::string id;
    std::string title;
    std::string description;
    std::string license;
    // The version of aster that wrote the catalogue, which its provider of the
    // "processor" role states (the processing extension): how a later run knows the
    // catalogue for one it may replace.
    std::string softwareVersion;
    StacExtent extent;
    SummaryValues platforms, instruments, products;
    SummaryRange cloudCover, sunAzimuth, sunElevation;
};

// The number of a coordinate, a box's edge or an angle as JSON writes it: the shortest
// decimal that reads back as the same double, never in exponent form, so that a
// footprint's coordinates show at most their 7 decimals.
std::string NumberText(double value);

// Whole documents, pretty-printed with two blanks of indentation, as the files of a
// static catalogue hold them.
void WriteItemDocument(std::ostream& out, const StacItem& item);
// The collection links to its `itemCount` items, the href of each given by `itemHref` in
// turn, so that they need not all be held at once.
void WriteCollectionDocument(std::ostream& out, const StacCollection& collection,
                             std::size_t itemCount,
                             const std::function<std::string(std::size_t item)>& itemHref);

// The href of an item's file, from the collection's: "./<id>/<id>.json".
std::string ItemHref(std::string_view id);

// One item on one line, as an ItemCollection holds its features.
std::string CompactItem(const StacItem& item);
// An item's document, pretty-printed, as a string.
std::string PrettyItem(const StacItem& item);

// The same document with another id: everything else, numbers included, is written back
// exactly as it was read. False when `json` is no object with an id.
bool ReplaceItemId(std::string_view json, std::string_view id, bool pretty, std::string& out);

// What a static catalogue's collection.json is, for whether an earlier catalogue may be
// replaced.
enum class CollectionAuthor {
    NotACollection, // no JSON object whose "type" is "Collection"
    Aster,          // its processor provider's processing:software names aster
    EarlierAster,   // no provider, and the description aster's versions before it wrote
    Other,          // a STAC Collection another program wrote
};
CollectionAuthor AuthorOfCollection(std::string_view json);

// The description aster gives the collection of the scene folder `title`.
std::string CollectionDescription(std::string_view title);

// An ItemCollection (a GeoJSON FeatureCollection of items) written as a stream: its
// features one a line, each given as a CompactItem, so that its size is no matter.
class ItemCollectionWriter {
  public:
    explicit ItemCollectionWriter(std::ostream& out);
    ItemCollectionWriter(const ItemCollectionWriter&) = delete;
    ItemCollectionWriter& operator=(const ItemCollectionWriter&) = delete;
    ~ItemCollectionWriter();

    void add(std::string_view compactItem);
    // Ends the FeatureCollection and flushes the stream.
    void finish();

  private:
    class Impl;
    std::unique_ptr<Impl> m_impl;
};

// Whether a line of a document ItemCollectionWriter wrote holds one feature, and where:
// the feature's JSON without the line's indentation and the comma after it.
std::optional<std::string_view> FeatureOnLine(std::string_view line);

} // namespace aster
