#pragma once

#include "fileio/error.h"

#include <optional>
#include <string>
#include <string_view>

namespace aster {

// An SQLite database (a GeoPackage, GDAL's SQLite format) is more than its file: SQLite
// keeps "-journal", "-wal" and "-shm" files beside it, named after it, and applies them to
// whatever database it finds at that name. So a journal beside an output is part of the
// output, and one beside a new file would change it.

// Whether GDAL's driver of this name writes an SQLite database.
bool WritesSqlite(std::string_view driverName);

// Nothing when no journal stands beside `path`; otherwise the refusal (EBUSY), naming the
// journal and saying what to do: another program has the database open or is writing it,
// or one stopped before it finished, or the journal outlived the file it belonged to.
// The earlier file is never opened, so a journal is never applied to it here.
std::optional<Error> CheckEarlierJournals(const std::string& path);

// Makes the newly written database at `path` stand on its own: rollback journal mode, with
// a write-ahead log written into the file and removed, whatever journal mode its writer
// used. The error (EIO) names `shownPath` when a journal is left beside it.
std::optional<Error> SettleSqliteFile(const std::string& path, const std::string& shownPath);

// Nothing when no journal stands beside the new database at `path`; the error (EIO)
// naming `shownPath` otherwise.
std::optional<Error> CheckNewJournals(const std::string& path, const std::string& shownPath);

} // namespace aster
