#pragma once

// What the STAC 1.0.0 schemas (core item and collection, eo v1.1.0, view v1.0.0) require
// of the documents this tool writes, checked with the tests' own assertions.
#include "stac/stac_json.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <regex>
#include <set>
#include <string>

namespace aster::test {

inline rapidjson::Document ParseJson(const std::string& text) {
    rapidjson::Document document;
    document.Parse(text.c_str(), text.size());
    EXPECT_FALSE(document.HasParseError()) << text.substr(0, 200);
    return document;
}

// RFC 3339 in UTC with 'Z', never second 60.
inline bool IsUtcTime(const rapidjson::Value& value) {
    static const std::regex form(
        R"(\d{4}-(0[1-9]|1[0-2])-(0[1-9]|[12]\d|3[01])T([01]\d|2[0-3]):[0-5]\d:[0-5]\d(\.\d+)?Z)");
    return value.IsString() && std::regex_match(value.GetString(), form);
}

inline std::set<std::string> LinkRelations(const rapidjson::Value& links) {
    std::set<std::string> relations;
    EXPECT_TRUE(links.IsArray());
    for (const auto& link : links.GetArray()) {
        EXPECT_TRUE(link.IsObject());
        EXPECT_TRUE(link.HasMember("rel") && link["rel"].IsString() && link["rel"].GetStringLength());
        EXPECT_TRUE(link.HasMember("href") && link["href"].IsString() &&
                    link["href"].GetStringLength());
        relations.insert(link["rel"].GetString());
    }
    return relations;
}

inline void ExpectBox(const rapidjson::Value& box) {
    ASSERT_TRUE(box.IsArray());
    ASSERT_EQ(box.Size(), 4u);
    for (const auto& edge : box.GetArray())
        EXPECT_TRUE(edge.IsNumber());
    EXPECT_LE(box[1].GetDouble(), box[3].GetDouble());
}

inline void ExpectRing(const rapidjson::Value& ring) {
    ASSERT_TRUE(ring.IsArray());
    ASSERT_GE(ring.Size(), 4u);
    for (const auto& point : ring.GetArray()) {
        ASSERT_TRUE(point.IsArray());
        ASSERT_EQ(point.Size(), 2u);
        EXPECT_TRUE(point[0].IsNumber() && point[1].IsNumber());
    }
    EXPECT_EQ(ring[0][0].GetDouble(), ring[ring.Size() - 1][0].GetDouble());
    EXPECT_EQ(ring[0][1].GetDouble(), ring[ring.Size() - 1][1].GetDouble());
}

// A STAC Item: the core's required fields and types, a GeoJSON geometry, the link
// relations, and stac_extensions exactly the extensions whose fields it carries.
inline void ExpectStacItem(const rapidjson::Value& item) {
    ASSERT_TRUE(item.IsObject());
    EXPECT_STREQ(item["type"].GetString(), "Feature");
    EXPECT_STREQ(item["stac_version"].GetString(), "1.0.0");
    ASSERT_TRUE(item["id"].IsString());
    EXPECT_GT(item["id"].GetStringLength(), 0u);
    ExpectBox(item["bbox"]);
    const auto& geometry = item["geometry"];
    ASSERT_TRUE(geometry.IsObject());
    const std::string type = geometry["type"].GetString();
    ASSERT_TRUE(type == "Polygon" || type == "MultiPolygon") << type;
    for (const auto& part : geometry["coordinates"].GetArray()) {
        if (type == "Polygon") {
            ExpectRing(part);
        } else {
            for (const auto& ring : part.GetArray())
                ExpectRing(ring);
        }
    }
    const auto& properties = item["properties"];
    ASSERT_TRUE(properties.IsObject());
    EXPECT_TRUE(IsUtcTime(properties["datetime"])) << properties["datetime"].GetString();
    // What the file says, in lower case, or nothing.
    if (properties.HasMember("platform")) {
        const std::string platform = properties["platform"].GetString();
        EXPECT_FALSE(platform.empty());
        EXPECT_EQ(platform.find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ"), std::string::npos);
    }
    if (properties.HasMember("instruments")) {
        EXPECT_TRUE(properties["instruments"].IsArray());
    }
    if (properties.HasMember("start_datetime")) {
        EXPECT_LE(std::string(properties["start_datetime"].GetString()),
                  std::string(properties["end_datetime"].GetString()));
    }
    std::set<std::string> wanted;
    for (const auto& field : properties.GetObject()) {
        const std::string name = field.name.GetString();
        if (name.starts_with("eo:")) {
            EXPECT_EQ(name, "eo:cloud_cover");
            EXPECT_TRUE(field.value.IsNumber());
            EXPECT_GE(field.value.GetDouble(), 0);
            EXPECT_LE(field.value.GetDouble(), 100);
            wanted.insert(std::string(kEoExtension));
        } else if (name.starts_with("view:")) {
            EXPECT_TRUE(name == "view:sun_azimuth" || name == "view:sun_elevation") << name;
            EXPECT_TRUE(field.value.IsNumber());
            const double angle = field.value.GetDouble();
            if (name == "view:sun_azimuth") {
                EXPECT_TRUE(angle >= 0 && angle < 360) << angle;
            } else {
                EXPECT_TRUE(angle >= -90 && angle <= 90) << angle;
            }
            wanted.insert(std::string(kViewExtension));
        } else {
            // Nothing un-namespaced beyond the core's fields.
            EXPECT_TRUE(name == "datetime" || name == "start_datetime" || name == "end_datetime" ||
                        name == "platform" || name == "instruments" ||
                        name.starts_with("aster:"))
                << name;
        }
    }
    std::set<std::string> listed;
    for (const auto& extension : item["stac_extensions"].GetArray())
        EXPECT_TRUE(listed.insert(extension.GetString()).second);
    EXPECT_EQ(listed, wanted);
    // A collection link asks for the collection's id, and the other way round.
    const std::set<std::string> relations = LinkRelations(item["links"]);
    EXPECT_TRUE(relations.contains("collection"));
    ASSERT_TRUE(item.HasMember("collection") && item["collection"].IsString());
    EXPECT_GT(item["collection"].GetStringLength(), 0u);
    ASSERT_TRUE(item["assets"].IsObject());
    for (const auto& asset : item["assets"].GetObject()) {
        ASSERT_TRUE(asset.value.HasMember("href"));
        EXPECT_GT(asset.value["href"].GetStringLength(), 0u);
        if (asset.value.HasMember("roles")) {
            EXPECT_TRUE(asset.value["roles"].IsArray());
        }
    }
}

inline void ExpectStacCollection(const rapidjson::Value& collection) {
    ASSERT_TRUE(collection.IsObject());
    EXPECT_STREQ(collection["type"].GetString(), "Collection");
    EXPECT_STREQ(collection["stac_version"].GetString(), "1.0.0");
    for (const char* field : {"id", "description", "license"}) {
        ASSERT_TRUE(collection[field].IsString()) << field;
        EXPECT_GT(collection[field].GetStringLength(), 0u) << field;
    }
    EXPECT_TRUE(std::regex_match(collection["license"].GetString(), std::regex(R"([\w\-\.\+]+)")));
    const auto& boxes = collection["extent"]["spatial"]["bbox"];
    ASSERT_TRUE(boxes.IsArray());
    ASSERT_GE(boxes.Size(), 1u);
    for (const auto& box : boxes.GetArray())
        ExpectBox(box);
    const auto& intervals = collection["extent"]["temporal"]["interval"];
    ASSERT_GE(intervals.Size(), 1u);
    for (const auto& interval : intervals.GetArray()) {
        ASSERT_EQ(interval.Size(), 2u);
        for (const auto& end : interval.GetArray())
            EXPECT_TRUE(end.IsNull() || IsUtcTime(end));
    }
    const std::set<std::string> relations = LinkRelations(collection["links"]);
    EXPECT_TRUE(relations.contains("root"));
    EXPECT_FALSE(relations.contains("self")); // a self-contained catalogue
}

} // namespace aster::test
