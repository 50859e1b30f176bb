#include "app/procedures.h"

namespace aster {

std::optional<Error> DiskProcedures::listTheFiles(ListingHost& host) {
    return ListTheFiles(host);
}

std::optional<Error> DiskProcedures::makeTextFiles(CatalogueHost& host) {
    return MakeTextFiles(host);
}

std::optional<Error> DiskProcedures::readSubfolders(const std::string& folder,
                                                    std::vector<std::string>& names,
                                                    const KeepReading& keepReading) {
    return ReadSubfolders(folder, names, keepReading);
}

} // namespace aster
