#pragma once

#include "catalogue/build_run.h"
#include "fileio/error.h"
#include "listing/folder_listing.h"
#include "listing/folders.h"

#include <optional>
#include <string>
#include <vector>

namespace aster {

// The work the window hands to a worker thread: the two procedures and reading a folder
// for the folder list. Injected so that tests can make the work slow or stuck.
class Procedures {
  public:
    virtual ~Procedures() = default;
    virtual std::optional<Error> listTheFiles(ListingHost& host) = 0;
    virtual std::optional<Error> makeTextFiles(CatalogueHost& host) = 0;
    // As ReadSubfolders. May be left running when the window stops waiting for it.
    virtual std::optional<Error> readSubfolders(const std::string& folder,
                                                std::vector<std::string>& names,
                                                const KeepReading& keepReading) = 0;
};

// The procedures on the disk, as the program runs them.
class DiskProcedures : public Procedures {
  public:
    std::optional<Error> listTheFiles(ListingHost& host) override;
    std::optional<Error> makeTextFiles(CatalogueHost& host) override;
    std::optional<Error> readSubfolders(const std::string& folder, std::vector<std::string>& names,
                                        const KeepReading& keepReading) override;
};

} // namespace aster
