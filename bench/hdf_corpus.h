#pragma once

#include <cstddef>
#include <string>

namespace aster::bench {

// Writes `count` HDF-EOS files (AST_L1B_<n>.hdf) into `hdfFolder` and the same scenes as
// ODL files (AST_L1B_<n>.met) into `metFolder`, each folder with a filelist.txt naming
// them. Every HDF file carries SceneText(n) as its global attribute coremetadata.0 and an
// image of side x side bytes written with no fill and only its last byte set, so that the
// files are sparse: large to the reader, small on the disk.
void WriteHdfCorpus(const std::string& hdfFolder, const std::string& metFolder,
                    std::size_t count, int side);

} // namespace aster::bench
