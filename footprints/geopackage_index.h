#pragma once

#include <gdal_priv.h>
#include <ogrsf_frmts.h>

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

struct sqlite3;

namespace aster {

// A GeoPackage's spatial index (its R-tree) made in one pass once every feature is
// written. GDAL 3.6 fills the R-tree one feature at a time, which costs more than reading
// the scene files; this packs the same tree in memory (sort-tile-recursive) and writes
// SQLite's nodes and maps directly, for a fraction of that. Later edits in a GIS go
// through the index's usual triggers.
//
// Use: prepare() on the new, empty layer; add() every feature written; finish() inside
// the same transaction. Each returns false on a failure, which has been reported to GDAL.
class GeoPackageIndex {
  public:
    // Whether the dataset is a GeoPackage whose SQLite connection GDAL hands out; if not,
    // the driver makes its own index.
    static bool CanPack(GDALDataset& dataset);

    // GDAL creates the empty index with its triggers and registration; the triggers that
    // would fill it feature by feature are set aside until finish().
    bool prepare(GDALDataset& dataset, OGRLayer& layer);
    void add(std::int64_t fid, const OGREnvelope& extent);
    // Writes the packed tree and puts the triggers back.
    bool finish();

  private:
    struct Entry {
        std::int64_t id = 0;        // a feature's id in a leaf, a child node's number above
        std::array<float, 4> box{}; // min x, max x, min y, max y, as SQLite stores them
    };

    bool writeTree();

    sqlite3* m_db = nullptr; // GDAL's connection to the GeoPackage
    std::string m_rtree;     // the index's table
    std::vector<std::string> m_triggers;
    // In blocks rather than one array, which would be copied whole each time it grows:
    // the entries are the one thing here as many as the features.
    std::deque<Entry> m_entries;
};

} // namespace aster
