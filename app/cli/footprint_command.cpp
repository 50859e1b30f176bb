#include "footprint_command.h"

#include <algorithm>
#include <cerrno>

namespace aster {

std::optional<std::string_view> DriverForOutput(std::string_view outputPath) {
    const std::string_view name = outputPath.substr(outputPath.rfind('/') + 1);
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    for (const FootprintFormat& format : kFootprintFormats) {
        if (name.size() > format.extension.size() &&
            std::equal(format.extension.begin(), format.extension.end(),
                       name.end() - format.extension.size(),
                       [&](char a, char b) { return a == lower(b); }))
            return format.driver;
    }
    return std::nullopt;
}

// Until the footprint library is part of the build, the command is there with its
// arguments and says that it cannot write yet.
std::optional<Error> FootprintCommand(const FootprintRequest& /*request*/, FootprintHost& /*host*/,
                                      FootprintSummary& /*summary*/) {
    return Error{ENOSYS, "Writing footprint layers is not available in this build yet.",
                 "Make polygons in the generate layout with \"aster polys\" meanwhile."};
}

} // namespace aster
