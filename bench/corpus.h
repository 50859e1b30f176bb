#pragma once

#include <cstddef>
#include <string>

namespace aster::bench {

// A synthetic scene metadata text of about 12 KB in the nested GROUP/OBJECT layout, with
// `TYPE` lines and wrapped "Value = (" lists. `seed` varies the values.
std::string SceneText(std::size_t seed);

// ECS granule XML of about 12 KB for the same scene as SceneText(seed): the same corners
// and time (as the range's beginning), with the cloud cover and sun angles as additional
// attributes and filler attributes after them.
std::string GranuleXmlText(std::size_t seed);

// Writes `count` granule XML files (AST_L1B_<n>.hdf.xml) and a filelist.txt naming them
// into `folder`. Returns the number of bytes written.
std::size_t WriteXmlCorpus(const std::string& folder, std::size_t count);

// Writes `count` scene files and filelist.txt into `folder`. Every 97th listed file is
// blank (0 bytes) and every 89th is listed but missing. Returns the number of bytes written.
std::size_t WriteCorpus(const std::string& folder, std::size_t count);

// Writes `count` empty granule files (AST_L1T_..., a .hdf.xml and its .hdf in turn) spread
// evenly over `folders` day folders, `folders` / 100 year folders holding 100 days each
// ("2004/123/AST_L1T_...hdf.xml"), for the recursive listing. No list is written.
void WriteTreeCorpus(const std::string& folder, std::size_t count, std::size_t folders);

// Writes one scene file of at least `bytes` bytes (metadata first, then filler objects)
// and a filelist.txt naming it.
void WriteBigScene(const std::string& folder, std::size_t bytes);

} // namespace aster::bench
