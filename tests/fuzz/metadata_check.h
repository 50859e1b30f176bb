#pragma once

#include "metadata/scene_metadata.h"
#include "tests/fuzz/fuzz_check.h"

#include <string>
#include <string_view>

namespace aster::fuzz {

// What any result of the metadata reader must satisfy, and that the same text gives the
// same result again from a reader that read something else in between.
inline void CheckMetadata(const std::string& text) {
    SceneMetadataReader reader;
    const MetadataOrReason first = reader.read(text);
    FUZZ_CHECK(first.metadata.has_value() != !first.reason.empty());
    FUZZ_CHECK(first.reason.size() < 200);
    if (first.metadata) {
        const SceneMetadata& metadata = *first.metadata;
        FUZZ_CHECK(metadata.layout == SniffLayout(text));
        FUZZ_CHECK(metadata.corners.size() >= 3);
        for (const std::vector<GeoPoint>& ring : metadata.moreRings)
            FUZZ_CHECK(ring.size() >= 3);
        FUZZ_CHECK(!metadata.cloud || (*metadata.cloud >= 0 && *metadata.cloud <= 100));
        // The UTC day of the instant, else the day written.
        FUZZ_CHECK(metadata.date == (metadata.acquired ? UtcDateOf(*metadata.acquired)
                                                       : ParseSceneDate(metadata.dateText)));
        // An instant exactly where the date and time texts read and give one.
        const auto day = ParseSceneDate(metadata.dateText);
        const auto time = ParseSceneTime(metadata.timeText);
        FUZZ_CHECK(metadata.acquired ==
                   (day && time ? AcquisitionInstant(*day, *time) : std::nullopt));
        if (metadata.acquired)
            FUZZ_CHECK(FormatRfc3339(*metadata.acquired).size() == 24);
    } else {
        FUZZ_CHECK(first.reason != "not scene metadata" || SniffLayout(text) == MetadataLayout::None);
    }
    reader.read("<GranuleMetaDataFile><GPolygon><Boundary><Point>");
    const MetadataOrReason again = reader.read(text);
    FUZZ_CHECK(again.reason == first.reason);
    FUZZ_CHECK(again.metadata == first.metadata);
}

// An HDF-EOS file's two texts: the same promises, the layout HdfEos, the same answer again.
inline void CheckHdfTexts(std::string_view core, std::string_view product) {
    SceneMetadataReader reader;
    const MetadataOrReason first = reader.readHdfTexts(core, product);
    FUZZ_CHECK(first.metadata.has_value() != !first.reason.empty());
    FUZZ_CHECK(first.reason.size() < 200);
    if (first.metadata) {
        FUZZ_CHECK(first.metadata->layout == MetadataLayout::HdfEos);
        FUZZ_CHECK(first.metadata->corners.size() >= 3);
        FUZZ_CHECK(!first.metadata->cloud ||
                   (*first.metadata->cloud >= 0 && *first.metadata->cloud <= 100));
    }
    reader.readHdfTexts(product, core);
    const MetadataOrReason again = reader.readHdfTexts(core, product);
    FUZZ_CHECK(again.reason == first.reason);
    FUZZ_CHECK(again.metadata == first.metadata);
}

} // namespace aster::fuzz
