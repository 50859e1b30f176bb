#include "error.h"

#include <cstring>

namespace aster {

Error SystemError(int err, std::string_view path) {
    std::string description = std::strerror(err);
    description += ": ";
    description += path;
    return Error{err, std::move(description)};
}

std::string FormatError(const Error& error) {
    return "Error " + std::to_string(error.code) + ": " + error.description;
}

} // namespace aster
