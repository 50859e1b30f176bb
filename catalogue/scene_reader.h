#pragma once

#include "catalogue/scene_record.h"
#include "fileio/byte_block.h"

#include <array>
#include <string>
#include <string_view>
#include <type_traits>

namespace aster {

// The text after the first StartTag and before the first later EndTag, never reaching
// past a second StartTag; empty when StartTag does not occur. The view points into TextIN.
// `how` lets tests search both ways.
std::string_view Extract(std::string_view TextIN, std::string_view StartTag,
                         std::string_view EndTag, BlockScan how = BlockScan::Fastest);

// A view into a temporary string would dangle as soon as the call returns.
template <typename Text>
requires std::is_same_v<Text, std::string> std::string_view
Extract(Text&& TextIN, std::string_view StartTag, std::string_view EndTag)
= delete;

// Cuts a comma-separated list into four values: three passes that each take the text
// before the next comma (or nothing, when there is none), the fourth is the rest.
std::array<std::string_view, 4> SplitList(std::string_view list);
template <typename Text>
requires std::is_same_v<Text, std::string> std::array<std::string_view, 4> SplitList(Text&& list)
= delete;

// Fills SceneTime, SceneDate and the eight corner fields from the scene file's text.
void ExtractRecord(std::string_view text, SceneRecord& record);
// Whether ExtractRecord fills the same fields from every text that begins with `head`,
// so that a file's first bytes may stand for it whole.
bool RecordSettledBy(std::string_view head);
// The same, filling the fields from `head` when they are settled: one search for both.
bool SettleRecord(std::string_view head, SceneRecord& record);

} // namespace aster
