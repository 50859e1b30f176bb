#include "stac/stac_json.h"

#include "fileio/byte_block.h"
#include "stac/percent_encoding.h"

#include <rapidjson/document.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

namespace aster {

namespace {

// Room for any double in fixed notation.
using NumberChars = std::array<char, 400>;

// Writes the text of a value that some number of at most 8 decimals reads back as, below a
// million, into `text`, and gives its length, or 0 for another value: such are a
// footprint's degrees. Writing the whole number of that many decimals nearest the value is
// some five times quicker than the general search. At most 14 significant digits, only
// one number of so many decimals reads back as a given double, so the fewest decimals that
// do give the shortest text, as the general rule.
std::size_t FewDecimalsText(double value, NumberChars& text) {
    constexpr std::array<double, 9> kScales{1, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8};
    if (!(std::fabs(value) < 1e6))
        return 0;
    for (std::size_t decimals = 0; decimals < kScales.size(); ++decimals) {
        // Exact: a whole number below 2^53 over a power of ten is rounded once, as reading
        // its decimal text would round it.
        const std::int64_t units = std::llrint(value * kScales[decimals]);
        if (static_cast<double>(units) / kScales[decimals] != value)
            continue;
        std::array<char, 24> digits;
        const std::size_t count = static_cast<std::size_t>(
            std::to_chars(digits.data(), digits.data() + digits.size(), units < 0 ? -units : units)
                .ptr -
            digits.data());
        // Sign, whole part (at least "0"), point, decimals with their leading zeros.
        const std::size_t wholeDigits = count > decimals ? count - decimals : 0;
        char* out = text.data();
        if (units < 0)
            *out++ = '-';
        if (wholeDigits == 0)
            *out++ = '0';
        out = std::copy_n(digits.data(), wholeDigits, out);
        if (decimals > 0) {
            *out++ = '.';
            out = std::fill_n(out, decimals - (count - wholeDigits), '0');
            out = std::copy_n(digits.data() + wholeDigits, count - wholeDigits, out);
        }
        return static_cast<std::size_t>(out - text.data());
    }
    return 0;
}

// NumberText's rule, into `text`; gives the length.
std::size_t WriteNumber(double value, NumberChars& text) {
    // -0 is written as 0, which reads back as the same place.
    if (value == 0) {
        text[0] = '0';
        return 1;
    }
    if (const std::size_t length = FewDecimalsText(value, text))
        return length;
    // The shortest in fixed notation.
    const auto result =
        std::to_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
    return static_cast<std::size_t>(result.ptr - text.data());
}

// RapidJSON's output stream over a std::ostream, through a buffer of its own: the
// standard stream's per-character calls would cost more than the JSON itself.
class StreamOutput {
  public:
    using Ch = char;
    explicit StreamOutput(std::ostream& out) : m_out(out) {}
    StreamOutput(const StreamOutput&) = delete;
    StreamOutput& operator=(const StreamOutput&) = delete;
    ~StreamOutput() { Flush(); }

    void Put(char c) {
        if (m_used == m_buffer.size())
            Flush();
        m_buffer[m_used++] = c;
    }
    void Flush() {
        if (m_used > 0)
            m_out.write(m_buffer.data(), static_cast<std::streamsize>(m_used));
        m_used = 0;
    }
    // Bytes at once, where the writer would put them one by one.
    void write(std::string_view bytes) {
        if (bytes.size() > m_buffer.size() - m_used) {
            Flush();
            if (bytes.size() > m_buffer.size()) {
                m_out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
                return;
            }
        }
        std::memcpy(m_buffer.data() + m_used, bytes.data(), bytes.size());
        m_used += bytes.size();
    }

  private:
    std::ostream& m_out;
    std::array<char, 1 << 16> m_buffer{};
    std::size_t m_used = 0;
};

using PrettyStream = rapidjson::PrettyWriter<StreamOutput>;
using PrettyString = rapidjson::PrettyWriter<rapidjson::StringBuffer>;
using CompactString = rapidjson::Writer<rapidjson::StringBuffer>;
// A buffer and writer whose memory comes from room the caller gives, then from the heap.
using StackPool = rapidjson::MemoryPoolAllocator<rapidjson::CrtAllocator>;
using PooledBuffer = rapidjson::GenericStringBuffer<rapidjson::UTF8<>, StackPool>;
using PooledCompact =
    rapidjson::Writer<PooledBuffer, rapidjson::UTF8<>, rapidjson::UTF8<>, StackPool>;

} // namespace
} // namespace aster

// RapidJSON's writer copies a string a byte at a time, asking each whether JSON escapes it,
// unless its class has this step for its buffer, as RapidJSON gives one to its own
// StringBuffer: the bytes up to the first that needs escaping (a quote, a backslash or a
// control byte) go out in one copy, found 32 at a time. Item texts seldom hold one, and
// strings were some 40 % of an item's writing.
template <>
inline bool aster::PooledCompact::ScanWriteUnescapedString(rapidjson::StringStream& is,
                                                           std::size_t length) {
    const char* const start = is.src_;
    const char* const end = is.head_ + length;
    // WriteString reserved room for the whole string, escaped, before it asked.
    const auto copyUpTo = [&](const char* stop) {
        const auto count = static_cast<std::size_t>(stop - start);
        std::memcpy(os_->PushUnsafe(count), start, count);
        is.src_ = stop;
        return stop != end;
    };
    const char* p = start;
    for (; end - p >= static_cast<std::ptrdiff_t>(aster::ByteBlock::kSize);
         p += aster::ByteBlock::kSize) {
        const aster::ByteBlock block(p);
        if (const std::uint32_t escaped =
                block.equal('"') | block.equal('\\') | block.within(0, 0x1f))
            return copyUpTo(p + std::countr_zero(escaped));
    }
    while (p != end && *p != '"' && *p != '\\' && static_cast<unsigned char>(*p) >= 0x20)
        ++p;
    return copyUpTo(p);
}

namespace aster {
namespace {

template <typename Writer> void Pretty(Writer& writer) {
    writer.SetIndent(' ', 2);
}

template <typename Writer> void Text(Writer& writer, std::string_view text) {
    writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
}

template <typename Writer> void Instant(Writer& writer, UtcMilliseconds instant) {
    Rfc3339Chars text;
    writer.String(text.data(), static_cast<rapidjson::SizeType>(WriteRfc3339(instant, text)));
}

template <typename Writer> void Key(Writer& writer, std::string_view key) {
    writer.Key(key.data(), static_cast<rapidjson::SizeType>(key.size()));
}

template <typename Writer> void Number(Writer& writer, double value) {
    NumberChars text;
    writer.RawValue(text.data(), WriteNumber(value, text), rapidjson::kNumberType);
}

// A field the metadata may not give: left out rather than written as null.
template <typename Writer>
void NumberIfGiven(Writer& writer, std::string_view key, const std::optional<double>& value) {
    if (value) {
        Key(writer, key);
        Number(writer, *value);
    }
}

template <typename Writer>
void TextIfGiven(Writer& writer, std::string_view key, const std::optional<std::string>& value) {
    if (value) {
        Key(writer, key);
        Text(writer, *value);
    }
}

template <typename Writer> void Box(Writer& writer, const BoundingBox& box) {
    writer.StartArray();
    for (const double edge : {box.west, box.south, box.east, box.north})
        Number(writer, edge);
    writer.EndArray();
}

// A ring as GeoJSON closes it: the first point again at the end.
template <typename Writer> void Ring(Writer& writer, const std::vector<GeoPoint>& ring) {
    writer.StartArray();
    for (std::size_t i = 0; i <= ring.size(); ++i) {
        const GeoPoint& point = ring[i % ring.size()];
        writer.StartArray();
        Number(writer, point.lon);
        Number(writer, point.lat);
        writer.EndArray();
    }
    writer.EndArray();
}

// A Polygon for a footprint of one part, a MultiPolygon for one cut at the antimeridian.
template <typename Writer> void Geometry(Writer& writer, const FootprintShape& shape) {
    const bool multi = shape.parts.size() != 1;
    writer.StartObject();
    Key(writer, "type");
    Text(writer, multi ? "MultiPolygon" : "Polygon");
    Key(writer, "coordinates");
    writer.StartArray();
    for (const std::vector<GeoPoint>& part : shape.parts) {
        if (multi)
            writer.StartArray();
        Ring(writer, part);
        if (multi)
            writer.EndArray();
    }
    writer.EndArray();
    writer.EndObject();
}

template <typename Writer>
void Texts(Writer& writer, std::string_view key, const std::vector<std::string>& values) {
    Key(writer, key);
    writer.StartArray();
    for (const std::string& value : values)
        Text(writer, value);
    writer.EndArray();
}

template <typename Writer>
void Link(Writer& writer, std::string_view rel, std::string_view href,
          std::string_view type = "application/json") {
    writer.StartObject();
    Key(writer, "rel");
    Text(writer, rel);
    Key(writer, "href");
    Text(writer, href);
    Key(writer, "type");
    Text(writer, type);
    writer.EndObject();
}

template <typename Writer> void ItemProperties(Writer& writer, const StacItem& item) {
    writer.StartObject();
    Key(writer, "datetime");
    Instant(writer, item.datetime);
    if (item.end) {
        Key(writer, "start_datetime");
        Instant(writer, item.datetime);
        Key(writer, "end_datetime");
        Instant(writer, *item.end);
    }
    TextIfGiven(writer, "platform", item.platform);
    if (!item.instruments.empty())
        Texts(writer, "instruments", item.instruments);
    NumberIfGiven(writer, "eo:cloud_cover", item.cloudCover);
    NumberIfGiven(writer, "view:sun_azimuth", item.sunAzimuth);
    NumberIfGiven(writer, "view:sun_elevation", item.sunElevation);
    TextIfGiven(writer, "aster:short_name", item.shortName);
    TextIfGiven(writer, "aster:version", item.version);
    writer.EndObject();
}

template <typename Writer> void ItemLinks(Writer& writer, const StacItem& item) {
    // Where the collection's document is, from the item's file.
    const std::string_view collectionHref =
        item.inCatalogue ? "../collection.json" : "./collection.json";
    writer.StartArray();
    if (item.inCatalogue) {
        Link(writer, "root", collectionHref);
        Link(writer, "parent", collectionHref);
    }
    Link(writer, "collection", collectionHref);
    writer.EndArray();
}

template <typename Writer> void Assets(Writer& writer, const std::vector<StacAsset>& assets) {
    writer.StartObject();
    for (const StacAsset& asset : assets) {
        Key(writer, asset.key);
        writer.StartObject();
        Key(writer, "href");
        Text(writer, asset.href);
        if (!asset.type.empty()) {
            Key(writer, "type");
            Text(writer, asset.type);
        }
        if (!asset.roles.empty())
            Texts(writer, "roles", asset.roles);
        writer.EndObject();
    }
    writer.EndObject();
}

template <typename Writer> void Item(Writer& writer, const StacItem& item) {
    writer.StartObject();
    Key(writer, "type");
    Text(writer, "Feature");
    Key(writer, "stac_version");
    Text(writer, kStacVersion);
    // Exactly the extensions whose fields the item carries.
    Key(writer, "stac_extensions");
    writer.StartArray();
    if (item.cloudCover)
        Text(writer, kEoExtension);
    if (item.sunAzimuth || item.sunElevation)
        Text(writer, kViewExtension);
    writer.EndArray();
    Key(writer, "id");
    Text(writer, item.id);
    Key(writer, "collection");
    Text(writer, item.collection);
    Key(writer, "geometry");
    Geometry(writer, item.shape);
    Key(writer, "bbox");
    Box(writer, item.bbox);
    Key(writer, "properties");
    ItemProperties(writer, item);
    Key(writer, "links");
    ItemLinks(writer, item);
    Key(writer, "assets");
    Assets(writer, item.assets);
    writer.EndObject();
}

template <typename Writer> void Extent(Writer& writer, const StacExtent& extent) {
    writer.StartObject();
    Key(writer, "spatial");
    writer.StartObject();
    Key(writer, "bbox");
    writer.StartArray();
    for (const BoundingBox& box : extent.boxes())
        Box(writer, box);
    writer.EndArray();
    writer.EndObject();
    Key(writer, "temporal");
    writer.StartObject();
    Key(writer, "interval");
    writer.StartArray();
    writer.StartArray();
    for (const auto& time : {extent.first(), extent.last()}) {
        if (time)
            Instant(writer, *time);
        else
            writer.Null();
    }
    writer.EndArray();
    writer.EndArray();
    writer.EndObject();
    writer.EndObject();
}

// This tool as the catalogue's processor, with its version (the processing extension).
template <typename Writer> void Providers(Writer& writer, const StacCollection& collection) {
    writer.StartArray();
    writer.StartObject();
    Key(writer, "name");
    Text(writer, kSoftwareName);
    Key(writer, "roles");
    writer.StartArray();
    Text(writer, "processor");
    writer.EndArray();
    Key(writer, "processing:software");
    writer.StartObject();
    Key(writer, kSoftwareName);
    Text(writer, collection.softwareVersion);
    writer.EndObject();
    writer.EndObject();
    writer.EndArray();
}

template <typename Writer> void Summaries(Writer& writer, const StacCollection& collection) {
    writer.StartObject();
    for (const auto& [key, values] : {std::pair{"platform", &collection.platforms},
                                      std::pair{"instruments", &collection.instruments},
                                      std::pair{"aster:short_name", &collection.products}})
        if (!values->values().empty())
            Texts(writer, key, values->values());
    for (const auto& [key, range] : {std::pair{"eo:cloud_cover", &collection.cloudCover},
                                     std::pair{"view:sun_azimuth", &collection.sunAzimuth},
                                     std::pair{"view:sun_elevation", &collection.sunElevation}}) {
        if (range->empty())
            continue;
        Key(writer, key);
        writer.StartObject();
        Key(writer, "minimum");
        Number(writer, range->minimum());
        Key(writer, "maximum");
        Number(writer, range->maximum());
        writer.EndObject();
    }
    writer.EndObject();
}

template <typename Writer>
void Collection(Writer& writer, const StacCollection& collection, std::size_t itemCount,
                const std::function<std::string(std::size_t item)>& itemHref) {
    writer.StartObject();
    Key(writer, "type");
    Text(writer, "Collection");
    Key(writer, "stac_version");
    Text(writer, kStacVersion);
    // Exactly the extensions whose fields the collection carries.
    Key(writer, "stac_extensions");
    writer.StartArray();
    if (!collection.cloudCover.empty())
        Text(writer, kEoExtension);
    if (!collection.sunAzimuth.empty() || !collection.sunElevation.empty())
        Text(writer, kViewExtension);
    Text(writer, kProcessingExtension);
    writer.EndArray();
    Key(writer, "id");
    Text(writer, collection.id);
    Key(writer, "title");
    Text(writer, collection.title);
    Key(writer, "description");
    Text(writer, collection.description);
    Key(writer, "license");
    Text(writer, collection.license);
    Key(writer, "providers");
    Providers(writer, collection);
    Key(writer, "extent");
    Extent(writer, collection.extent);
    Key(writer, "summaries");
    Summaries(writer, collection);
    // No self link: the catalogue is self-contained and may be moved or served anywhere.
    Key(writer, "links");
    writer.StartArray();
    Link(writer, "root", "./collection.json");
    // "proprietary" and "various" name no license text to link to.
    if (collection.license != "proprietary" && collection.license != "various")
        Link(writer, "license", "https://spdx.org/licenses/" + collection.license + ".html",
             "text/html");
    for (std::size_t item = 0; item < itemCount; ++item)
        Link(writer, "item", itemHref(item));
    writer.EndArray();
    writer.EndObject();
}

} // namespace

std::string NumberText(double value) {
    NumberChars text;
    return std::string(text.data(), WriteNumber(value, text));
}

void SummaryValues::add(std::string_view value) {
    if (m_values.size() >= kMaxValues ||
        std::find(m_values.begin(), m_values.end(), value) != m_values.end())
        return;
    m_values.emplace_back(value);
}

void SummaryRange::add(const std::optional<double>& value) {
    if (!value)
        return;
    m_minimum = m_minimum ? std::min(*m_minimum, *value) : *value;
    m_maximum = m_maximum ? std::max(*m_maximum, *value) : *value;
}

StacExtent::StacExtent()
    : m_covered(kCells, false), m_westIn(kCells, 180.0), m_eastIn(kCells, -180.0) {
}

int StacExtent::CellOf(double longitude) {
    const double cell = std::floor((longitude + 180) * (kCells / 360.0));
    return static_cast<int>(std::clamp(cell, 0.0, double{kCells - 1}));
}

void StacExtent::cover(int from, int to) {
    for (int cell = from; cell <= to; ++cell)
        m_covered[static_cast<std::size_t>(cell)] = true;
}

void StacExtent::add(const BoundingBox& box, UtcMilliseconds datetime) {
    const int west = CellOf(box.west);
    const int east = CellOf(box.east);
    if (box.west > box.east) { // across the antimeridian
        cover(west, kCells - 1);
        cover(0, east);
    } else {
        cover(west, east);
    }
    auto& westIn = m_westIn[static_cast<std::size_t>(west)];
    auto& eastIn = m_eastIn[static_cast<std::size_t>(east)];
    westIn = std::min(westIn, box.west);
    eastIn = std::max(eastIn, box.east);
    m_south = std::min(m_south, box.south);
    m_north = std::max(m_north, box.north);
    m_first = m_first ? std::min(*m_first, datetime) : datetime;
    m_last = m_last ? std::max(*m_last, datetime) : datetime;
}

std::vector<BoundingBox> StacExtent::boxes() const {
    if (!m_first)
        return {BoundingBox{-180, -90, 180, 90}};
    // The widest run of uncovered cells, round the ring.
    int gapStart = -1, gapLength = 0;
    int start = -1, length = 0;
    for (int i = 0; i < 2 * kCells && length < kCells; ++i) {
        if (m_covered[static_cast<std::size_t>(i % kCells)]) {
            start = -1;
            length = 0;
            continue;
        }
        if (start < 0)
            start = i % kCells;
        if (++length > gapLength) {
            gapStart = start;
            gapLength = length;
        }
    }
    if (gapLength == 0) // every cell covered: round the whole globe
        return {BoundingBox{-180, m_south, 180, m_north}};
    // Every box that covers the first cell after the gap starts in it, and every box that
    // covers the last cell before it ends there.
    const auto after = static_cast<std::size_t>((gapStart + gapLength) % kCells);
    const auto before = static_cast<std::size_t>((gapStart + kCells - 1) % kCells);
    const double west = m_westIn[after];
    const double east = m_eastIn[before];
    if (west <= east)
        return {BoundingBox{west, m_south, east, m_north}};
    // Across the antimeridian the whole extent is given round the globe, its two parts
    // after it: a first box whose west lies east of its east is valid STAC, but STAC
    // Browser then draws no collection map at all.
    return {BoundingBox{-180, m_south, 180, m_north}, BoundingBox{west, m_south, 180, m_north},
            BoundingBox{-180, m_south, east, m_north}};
}

void WriteItemDocument(std::ostream& out, const StacItem& item) {
    StreamOutput output(out);
    PrettyStream writer(output);
    Pretty(writer);
    Item(writer, item);
    output.Put('\n');
}

void WriteCollectionDocument(std::ostream& out, const StacCollection& collection,
                             std::size_t itemCount,
                             const std::function<std::string(std::size_t item)>& itemHref) {
    StreamOutput output(out);
    PrettyStream writer(output);
    Pretty(writer);
    Collection(writer, collection, itemCount, itemHref);
    output.Put('\n');
}

std::string ItemHref(std::string_view id) {
    const std::string name = PercentEncoded(id);
    return "./" + name + "/" + name + ".json";
}

std::string CompactItem(const StacItem& item) {
    // A granule's item is some 550 bytes: its text and the writer's stack start in room
    // on the stack, and only the text made of them is allocated.
    std::array<char, 4096> room;
    StackPool pool(room.data(), room.size());
    PooledBuffer buffer(&pool, 1024);
    PooledCompact writer(buffer, &pool);
    Item(writer, item);
    return std::string(buffer.GetString(), buffer.GetSize());
}

std::string PrettyItem(const StacItem& item) {
    rapidjson::StringBuffer buffer;
    PrettyString writer(buffer);
    Pretty(writer);
    Item(writer, item);
    buffer.Put('\n');
    return std::string(buffer.GetString(), buffer.GetSize());
}

namespace {

// Passes a parsed document's events on to a writer, numbers as the text they were read
// from, and the top level's "id" as another text.
template <typename Writer> class IdReplacer {
  public:
    IdReplacer(Writer& writer, std::string_view id) : m_writer(writer), m_id(id) {}

    bool Null() { return value(m_writer.Null()); }
    bool Bool(bool b) { return value(m_writer.Bool(b)); }
    bool Int(int i) { return value(m_writer.Int(i)); }
    bool Uint(unsigned u) { return value(m_writer.Uint(u)); }
    bool Int64(std::int64_t i) { return value(m_writer.Int64(i)); }
    bool Uint64(std::uint64_t u) { return value(m_writer.Uint64(u)); }
    bool Double(double d) { return value(m_writer.Double(d)); }
    bool RawNumber(const char* text, rapidjson::SizeType length, bool) {
        return value(m_writer.RawValue(text, length, rapidjson::kNumberType));
    }
    bool String(const char* text, rapidjson::SizeType length, bool) {
        if (m_idNext) {
            m_replaced = true;
            return value(
                m_writer.String(m_id.data(), static_cast<rapidjson::SizeType>(m_id.size())));
        }
        return value(m_writer.String(text, length));
    }
    bool StartObject() {
        ++m_depth;
        return value(m_writer.StartObject());
    }
    bool Key(const char* text, rapidjson::SizeType length, bool) {
        m_idNext = m_depth == 1 && std::string_view(text, length) == "id";
        return m_writer.Key(text, length);
    }
    bool EndObject(rapidjson::SizeType) {
        --m_depth;
        return value(m_writer.EndObject());
    }
    bool StartArray() {
        ++m_depth;
        return value(m_writer.StartArray());
    }
    bool EndArray(rapidjson::SizeType) {
        --m_depth;
        return value(m_writer.EndArray());
    }

    bool replaced() const { return m_replaced; }

  private:
    bool value(bool ok) {
        m_idNext = false;
        return ok;
    }

    Writer& m_writer;
    std::string_view m_id;
    int m_depth = 0;
    bool m_idNext = false;
    bool m_replaced = false;
};

template <typename Writer>
bool ReplaceId(std::string_view json, std::string_view id, Writer& writer) {
    IdReplacer<Writer> replacer(writer, id);
    rapidjson::Reader reader;
    rapidjson::MemoryStream input(json.data(), json.size());
    const bool parsed =
        reader.Parse<rapidjson::kParseNumbersAsStringsFlag>(input, replacer).IsError() == false;
    return parsed && replacer.replaced();
}

} // namespace

bool ReplaceItemId(std::string_view json, std::string_view id, bool pretty, std::string& out) {
    rapidjson::StringBuffer buffer;
    if (pretty) {
        PrettyString writer(buffer);
        Pretty(writer);
        if (!ReplaceId(json, id, writer))
            return false;
        buffer.Put('\n');
    } else {
        CompactString writer(buffer);
        if (!ReplaceId(json, id, writer))
            return false;
    }
    out.assign(buffer.GetString(), buffer.GetSize());
    return true;
}

class ItemCollectionWriter::Impl {
  public:
    explicit Impl(std::ostream& out) : m_output(out), m_writer(m_output) { Pretty(m_writer); }

    StreamOutput m_output;
    PrettyStream m_writer;
};

ItemCollectionWriter::ItemCollectionWriter(std::ostream& out)
    : m_impl(std::make_unique<Impl>(out)) {
    PrettyStream& writer = m_impl->m_writer;
    writer.StartObject();
    Key(writer, "type");
    Text(writer, "FeatureCollection");
    Key(writer, "features");
    writer.StartArray();
}

ItemCollectionWriter::~ItemCollectionWriter() = default;

void ItemCollectionWriter::add(std::string_view compactItem) {
    // The writer puts what comes before a value, the comma, line end and indent, and
    // counts the value; its bytes follow at once rather than a byte a call.
    m_impl->m_writer.RawValue("", 0, rapidjson::kObjectType);
    m_impl->m_output.write(compactItem);
}

void ItemCollectionWriter::finish() {
    m_impl->m_writer.EndArray();
    m_impl->m_writer.EndObject();
    m_impl->m_output.Put('\n');
    m_impl->m_output.Flush();
}

std::optional<std::string_view> FeatureOnLine(std::string_view line) {
    const std::size_t open = line.find_first_not_of(' ');
    if (open == std::string_view::npos || line[open] != '{')
        return std::nullopt;
    std::size_t close = line.size();
    if (close > open && line[close - 1] == ',')
        --close;
    if (close <= open + 1 || line[close - 1] != '}')
        return std::nullopt;
    return line.substr(open, close - open);
}

std::string CollectionDescription(std::string_view title) {
    return "ASTER scenes of the folder " + std::string(title) +
           ", as their scene metadata files describe them.";
}

namespace {

std::string_view TextOf(const rapidjson::Value& value) {
    return value.IsString() ? std::string_view(value.GetString(), value.GetStringLength())
                            : std::string_view();
}

// Whether a provider of the collection says this tool processed it.
bool NamesAster(const rapidjson::Value& providers) {
    if (!providers.IsArray())
        return false;
    for (const auto& provider : providers.GetArray()) {
        if (!provider.IsObject())
            continue;
        const auto software = provider.FindMember("processing:software");
        if (software != provider.MemberEnd() && software->value.IsObject() &&
            software->value.HasMember(rapidjson::StringRef(kSoftwareName.data(),
                                                           kSoftwareName.size())))
            return true;
    }
    return false;
}

} // namespace

CollectionAuthor AuthorOfCollection(std::string_view json) {
    rapidjson::Document document;
    // Iterative, so that no nesting depth can exhaust the stack.
    document.Parse<rapidjson::kParseIterativeFlag>(json.data(), json.size());
    if (document.HasParseError() || !document.IsObject())
        return CollectionAuthor::NotACollection;
    const auto type = document.FindMember("type");
    if (type == document.MemberEnd() || TextOf(type->value) != "Collection")
        return CollectionAuthor::NotACollection;
    const auto providers = document.FindMember("providers");
    if (providers != document.MemberEnd())
        return NamesAster(providers->value) ? CollectionAuthor::Aster : CollectionAuthor::Other;
    // Before the processor provider, the title and description were all that said so.
    const auto title = document.FindMember("title");
    const auto description = document.FindMember("description");
    if (title != document.MemberEnd() && description != document.MemberEnd() &&
        title->value.IsString() &&
        TextOf(description->value) == CollectionDescription(TextOf(title->value)))
        return CollectionAuthor::EarlierAster;
    return CollectionAuthor::Other;
}

} // namespace aster
