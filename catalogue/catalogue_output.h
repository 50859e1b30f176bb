#pragma once

#include "catalogue/scene_record.h"

#include <ostream>

namespace aster {

// table.txt: one tab-separated row per listed file.
void AppendTableRow(std::ostream& out, const SceneRecord& record);
// polys.txt: one six-line polygon block per listed file, in the "generate" layout.
void AppendPolygonBlock(std::ostream& out, const SceneRecord& record);
// polys.txt: the final "End" after the last block.
void AppendClosingLine(std::ostream& out);

} // namespace aster
