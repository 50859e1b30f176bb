// On the table's layout, the reader and the table's own recipe (ExtractRecord) agree: the
// same corners, date text and time text, for the example files and for generated files of
// that layout with random values, blanks, line ends and wrapped lists.
#include "bench/corpus.h"
#include "catalogue/scene_reader.h"
#include "metadata/granule_items.h"
#include "metadata/odl_byte_map.h"
#include "metadata/odl_reader.h"
#include "metadata/scene_metadata.h"
#include "metadata/xml_text.h"

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <random>

namespace aster {
namespace {

// The corners as the table gives them, parsed here with the C library's own reader.
std::vector<GeoPoint> RecipeCorners(const SceneRecord& record) {
    const auto number = [](std::string_view text) {
        const std::string copy(text);
        return std::strtod(copy.c_str(), nullptr);
    };
    return {{number(record.Lon1), number(record.Lat1)},
            {number(record.Lon2), number(record.Lat2)},
            {number(record.Lon3), number(record.Lat3)},
            {number(record.Lon4), number(record.Lat4)}};
}

void ExpectAgreement(const std::string& text) {
    SceneRecord record;
    ExtractRecord(text, record);
    const MetadataOrReason read = ReadSceneMetadata(text);
    ASSERT_TRUE(read.metadata) << read.reason;
    EXPECT_EQ(read.metadata->corners, RecipeCorners(record));
    EXPECT_EQ(read.metadata->dateText, record.SceneDate);
    EXPECT_EQ(read.metadata->timeText, record.SceneTime);
}

class TableLayout {
  public:
    explicit TableLayout(unsigned seed) : m_random(seed) {}

    std::string scene() {
        m_end = pick(2) ? "\r\n" : "\n";
        std::string text;
        group(text, "", "INVENTORYMETADATA", [&] {
            line(text, "  GROUPTYPE" + equals() + "MASTERGROUP");
            group(text, "  ", "ECSDataGranule", [&] {
                object(text, "    ", "LocalGranuleID",
                       "\"G" + std::to_string(pick(99999)) + ".hdf\"");
            });
            group(text, "  ", "SingleDateTime", [&] {
                object(text, "    ", "TimeofDay", "\"" + time() + "\"");
                object(text, "    ", "CalendarDate", "\"" + date() + "\"");
            });
            group(text, "  ", "SpatialDomainContainer", [&] {
                // The latitudes' list is the first "Value = (" of the file.
                object(text, "    ", "GRingPointLatitude", list(90), true);
                object(text, "    ", "GRingPointLongitude", list(180), pick(2) == 0);
            });
        });
        line(text, "END");
        return text;
    }

  private:
    unsigned pick(unsigned count) { return std::uniform_int_distribution(0u, count - 1)(m_random); }
    std::string blanks(unsigned most) { return std::string(pick(most + 1), ' '); }
    std::string equals() { return blanks(20) + "=" + blanks(3); }
    void line(std::string& text, const std::string& content) { text += content + m_end; }

    template <typename Body>
    void group(std::string& text, const std::string& indent, const std::string& name, Body body) {
        line(text, indent + "GROUP" + equals() + name);
        body();
        line(text, indent + "END_GROUP" + equals() + name);
    }

    void object(std::string& text, const std::string& indent, const std::string& name,
                const std::string& value, bool listLine = false) {
        line(text, indent + "OBJECT" + equals() + name);
        line(text, indent + "  NUM_VAL" + equals() + "1");
        line(text, indent + (listLine ? "  Value = " : "  Value" + equals()) + value);
        line(text, indent + "  TYPE" + equals() + "\"STRING\"");
        line(text, indent + "END_OBJECT" + equals() + name);
    }

    std::string number(double limit) {
        const double value = std::uniform_real_distribution(-limit, limit)(m_random);
        char text[64];
        std::snprintf(text, sizeof text, "%.*f", static_cast<int>(pick(9)), value);
        return text;
    }

    // Four values, wrapped after any of them.
    std::string list(double limit) {
        std::string text = "(";
        for (int i = 0; i < 4; ++i) {
            if (i > 0)
                text += pick(3) == 0 ? "," + m_end + blanks(20) : "," + blanks(2);
            text += number(limit);
        }
        return text + ")";
    }

    std::string time() {
        char text[64];
        std::snprintf(text, sizeof text, "%02u:%02u:%02u", pick(24), pick(60), pick(60));
        std::string written = text;
        if (const unsigned digits = pick(10); digits > 0) {
            written += '.';
            for (unsigned i = 0; i < digits; ++i)
                written += static_cast<char>('0' + pick(10));
        }
        return pick(2) ? written + "Z" : written;
    }

    std::string date() {
        char text[32];
        std::snprintf(text, sizeof text, "%04u-%02u-%02u", 1999 + pick(30), 1 + pick(12),
                      1 + pick(28));
        return text;
    }

    std::mt19937 m_random;
    std::string m_end;
};

TEST(MetadataProperty, ExampleFilesAgreeWithTheTable) {
    for (const char* name :
         {"demo_scene_01.met", "demo_scene_02.met", "demo_scene_03.met", "demo_scene_04.met"}) {
        SCOPED_TRACE(name);
        std::ifstream in(std::string(ASTER_SOURCE_DIR) + "/examples/scenes/" + name,
                         std::ios::binary);
        ExpectAgreement({std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()});
    }
}

TEST(MetadataProperty, GeneratedFilesOfTheTablesLayoutAgreeWithTheTable) {
    for (unsigned seed = 1; seed <= 500; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        TableLayout layout(seed);
        ExpectAgreement(layout.scene());
        if (HasFatalFailure() || HasNonfatalFailure())
            return;
    }
}

// The benchmark's granule XML describes the same scenes as its ODL, in files of the size
// the benchmark promises.
TEST(MetadataProperty, BenchmarkXmlAndOdlDescribeTheSameScenes) {
    for (std::size_t seed : {1u, 2u, 97u, 4242u, 99999u}) {
        SCOPED_TRACE(seed);
        const std::string xmlText = bench::GranuleXmlText(seed);
        EXPECT_GT(xmlText.size(), 11500u);
        EXPECT_LT(xmlText.size(), 12500u);
        const MetadataOrReason xml = ReadSceneMetadata(xmlText);
        const MetadataOrReason odl = ReadSceneMetadata(bench::SceneText(seed));
        ASSERT_TRUE(xml.metadata) << xml.reason;
        ASSERT_TRUE(odl.metadata) << odl.reason;
        EXPECT_EQ(xml.metadata->corners, odl.metadata->corners);
        EXPECT_EQ(xml.metadata->acquired, odl.metadata->acquired);
        EXPECT_EQ(xml.metadata->granule, odl.metadata->granule);
        EXPECT_TRUE(xml.metadata->cloud && xml.metadata->sunAzimuth && xml.metadata->sunElevation);
    }
}

// The word-at-a-time name compare agrees with the plain one on every text one byte away
// from each name, and on the name one byte longer or shorter: every length the chunks
// are cut at, letters next to the bytes 0x20 away from them ('@', '[', '`', '{').
TEST(MetadataProperty, NoCaseNameAgreesWithEqualsNoCase) {
    const std::vector<std::string> names = {"A",
                                            "Id",
                                            "END",
                                            "Z_9a",
                                            "GROUP",
                                            "OBJECT",
                                            "VersionID",
                                            "END_OBJECT",
                                            "BEGIN_OBJECT",
                                            "PointLatitude",
                                            "Solar_Azimuth_Angle",
                                            "GranuleMetaDataFile",
                                            "AdditionalAttributeName",
                                            "AssociatedPlatformShortName",
                                            "AssociatedInstrumentShortName"};
    for (const std::string& name : names) {
        const NoCaseName compared(name);
        const auto agree = [&](const std::string& text) {
            return compared.matches(text) == EqualsNoCase(name, text);
        };
        for (std::size_t at = 0; at < name.size(); ++at) {
            for (int byte = 0; byte < 256; ++byte) {
                std::string text = name;
                text[at] = static_cast<char>(byte);
                ASSERT_TRUE(agree(text)) << name << " with byte " << byte << " at " << at;
            }
        }
        EXPECT_TRUE(compared.matches(name));
        EXPECT_TRUE(agree(name + "x"));
        EXPECT_TRUE(agree(name.substr(1)));
    }
}

// The hashed name table finds each name in any case, and nothing one byte away from it:
// names of every chunk count, and pairs that differ only in their last or middle chunk.
TEST(MetadataProperty, EcsNameOfFindsEachNameAndNothingBesideIt) {
    const std::vector<std::pair<std::string, EcsName>> names = {
        {"PSA", EcsName::Psa},
        {"Point", EcsName::Point},
        {"CLASS", EcsName::Class},
        {"PSAName", EcsName::PsaName},
        {"PSAValue", EcsName::PsaValue},
        {"VersionID", EcsName::VersionId},
        {"PointLongitude", EcsName::PointLongitude},
        {"RangeEndingDate", EcsName::RangeEndingDate},
        {"RangeEndingTime", EcsName::RangeEndingTime},
        {"RangeBeginningDate", EcsName::RangeBeginningDate},
        {"RangeBeginningTime", EcsName::RangeBeginningTime},
        {"SouthBoundingCoordinate", EcsName::SouthBoundingCoordinate},
        {"AssociatedPlatformShortName", EcsName::AssociatedPlatformShortName},
        {"AssociatedInstrumentShortName", EcsName::AssociatedInstrumentShortName}};
    for (const auto& [name, expected] : names) {
        std::string lower = name, upper = name;
        std::transform(name.begin(), name.end(), lower.begin(), AsciiLower);
        std::transform(name.begin(), name.end(), upper.begin(),
                       [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; });
        EXPECT_EQ(EcsNameOf(name), expected) << name;
        EXPECT_EQ(EcsNameOf(lower), expected) << lower;
        EXPECT_EQ(EcsNameOf(upper), expected) << upper;
        EXPECT_EQ(EcsNameOf(name + "s"), EcsName::Other) << name;
        EXPECT_EQ(EcsNameOf(name.substr(1)), EcsName::Other) << name;
        for (std::size_t at = 0; at < name.size(); ++at) {
            for (int byte = 1; byte < 256; ++byte) {
                std::string text = name;
                text[at] = static_cast<char>(byte);
                ASSERT_EQ(EcsNameOf(text), EqualsNoCase(name, text) ? expected : EcsName::Other)
                    << name << " with byte " << byte << " at " << at;
            }
        }
    }
}

// The block-at-a-time check of XML's characters agrees with the plain rule on every byte
// at every place in and across blocks, beside each kind of neighbour: a printable byte, the
// allowed controls, and controls and bytes that are not allowed; and it finds a '&' or a
// carriage return wherever it is, before a bad byte or after it.
TEST(MetadataProperty, XmlCharacterCheckAgreesWithTheRuleForEachByte) {
    const auto allowed = [](unsigned char c) {
        return (c >= 0x20 && c < 0x80) || c == '\t' || c == '\n' || c == '\r';
    };
    const std::string neighbours = std::string("a\n\t\r& \x0b\x1f\x7f", 9) + std::string(1, '\0');
    for (const BlockScan how : {BlockScan::Fastest, BlockScan::Portable}) {
        for (std::size_t at = 1; at < 69; ++at) {
            for (int byte = 0; byte < 256; ++byte) {
                for (const char next : neighbours) {
                    std::string text(70, 'x');
                    text[at] = static_cast<char>(byte);
                    text[at + 1] = next;
                    std::optional<std::size_t> expected;
                    if (!allowed(static_cast<unsigned char>(byte)))
                        expected = at;
                    else if (!allowed(static_cast<unsigned char>(next)))
                        expected = at + 1;
                    const XmlTextScan scan = ScanXmlText(text, how);
                    ASSERT_EQ(scan.firstNonXml, expected)
                        << "byte " << byte << " at " << at << " before " << int(next);
                    ASSERT_EQ(scan.references, text.find('&') != text.npos) << byte << ", " << at;
                    ASSERT_EQ(scan.carriageReturns, text.find('\r') != text.npos)
                        << byte << ", " << at;
                }
            }
        }
    }
    // UTF-8 of characters XML allows passes, whatever the word boundaries.
    const std::string text = "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8c\x8d \xef\xbf\xbd";
    for (std::size_t shift = 0; shift < 40; ++shift) {
        for (const BlockScan how : {BlockScan::Fastest, BlockScan::Portable})
            EXPECT_EQ(ScanXmlText(std::string(shift, ' ') + text + text, how).firstNonXml,
                      std::nullopt);
    }
    EXPECT_EQ(ScanXmlText("\xef\xbf\xbe").firstNonXml, 0u); // U+FFFE
}

// Both ways of classing an ODL text's bytes agree with the rule, for every byte value at
// every place in a chunk: chunk k holds byte (k + 37 i) % 256 at place i.
TEST(MetadataProperty, OdlByteMapsAgreeWithTheRuleForEachByte) {
    constexpr std::size_t kChunks = 256;
    std::string bytes(kChunks * 64, '\0');
    for (std::size_t k = 0; k < kChunks; ++k)
        for (std::size_t i = 0; i < 64; ++i)
            bytes[k * 64 + i] = static_cast<char>((k + 37 * i) % 256);
    const auto blank = [](unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    const auto word = [](unsigned char c) {
        return c > ' ' && c != 0x7f &&
               std::string_view("=(){},\"'<>/").find(c) == std::string_view::npos;
    };
    for (const BlockScan how : {BlockScan::Fastest, BlockScan::Portable}) {
        std::vector<std::uint64_t> blanks(kChunks), spacing(kChunks), words(kChunks);
        MapOdlBytes(bytes.data(), kChunks, {blanks.data(), spacing.data(), words.data()}, how);
        for (std::size_t at = 0; at < bytes.size(); ++at) {
            const auto c = static_cast<unsigned char>(bytes[at]);
            const auto bit = [at](const std::vector<std::uint64_t>& map) {
                return (map[at / 64] >> (at % 64) & 1) != 0;
            };
            ASSERT_EQ(bit(blanks), blank(c)) << "byte " << int(c) << " at " << at % 64;
            ASSERT_EQ(bit(spacing), blank(c) || c == '=') << "byte " << int(c);
            ASSERT_EQ(bit(words), word(c)) << "byte " << int(c);
        }
    }
}

// What the ODL reader finds, as one text: each block, statement and value, or the reason.
class OdlEvents final : public OdlHandler {
  public:
    static std::string of(std::string_view text) {
        OdlEvents events;
        if (const std::optional<std::string> reason = ReadOdl(text, events))
            events.m_seen += "reason " + *reason;
        return events.m_seen;
    }
    void begin(std::string_view name) override { m_seen += "begin " + std::string(name) + "\n"; }
    void end() override { m_seen += "end\n"; }
    void assign(std::string_view name, const OdlValue& value) override {
        m_seen += std::string(name) + " " + std::to_string(value.kind) + " [" +
                  std::string(value.text) + "]\n";
    }

  private:
    std::string m_seen;
};

// The reader classes bytes in blocks of 64, the last one filled out with zeros. Wherever
// a statement's bytes fall, across those blocks, their edges and the text's end, it reads
// the same: every byte value inside a name, and a text of every kind of statement
// cut short at every length, each shifted by blanks that hold no line break.
TEST(MetadataProperty, OdlReadsTheSameWhereverTheBytesFall) {
    const auto shifted = [](std::size_t blanks, std::string_view text) {
        return std::string(blanks, ' ') + std::string(text);
    };
    for (int byte = 0; byte < 256; ++byte) {
        const std::string statement = "N" + std::string(1, static_cast<char>(byte)) + "X = 1\n";
        const std::string expected = OdlEvents::of(statement);
        for (std::size_t blanks = 0; blanks < 140; ++blanks) {
            ASSERT_EQ(OdlEvents::of(shifted(blanks, statement)), expected)
                << "byte " << byte << " after " << blanks << " blanks";
            ASSERT_EQ(OdlEvents::of(shifted(blanks, statement + std::string(100, ' '))), expected)
                << "byte " << byte << " after " << blanks << " blanks, more after";
        }
    }
    const std::string text = "GROUP = G\n  A/B = C/D /* a comment */ E = 'sym'\n"
                             "  LONG_" +
                             std::string(150, 'w') + " = " + std::string(90, ' ') + "\"" +
                             std::string(70, 't') +
                             "\"\n  /*\n*/ L = (1, \"a,b\",\n"
                             "  {2, (3)}) K = 15.5 <DEG> Q\t=\f-1 END_GROUP = G\nEND\n";
    for (std::size_t length = 0; length <= text.size(); ++length) {
        const std::string cut = text.substr(0, length);
        const std::string expected = OdlEvents::of(cut);
        for (std::size_t blanks = 1; blanks < 70; ++blanks)
            ASSERT_EQ(OdlEvents::of(shifted(blanks, cut)), expected) << length << ", " << blanks;
    }
    // Beyond the texts a reader maps on its stack.
    std::string statements;
    std::string large;
    for (int i = 0; i < 400; ++i) {
        const std::string one = "GROUP = G" + std::to_string(i) + "\n  V" + std::to_string(i) +
                                " = \"" + std::string(i % 97, 'x') + "\"\nEND_GROUP\n";
        statements += OdlEvents::of(one);
        large += one;
    }
    ASSERT_GT(large.size(), 20u * 1024);
    EXPECT_EQ(OdlEvents::of(large), statements);
}

} // namespace
} // namespace aster
