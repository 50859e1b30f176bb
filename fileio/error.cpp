#include "fileio/error.h"

#include <cerrno>
#include <cstring>

namespace aster {

namespace {

std::string HintFor(int err) {
    switch (err) {
    case ENOSPC:
    case EDQUOT:
        return "The disk is full: make room on it and try again.";
    case EROFS:
        return "The drive is read-only: choose a folder on a drive you can write to.";
    case EACCES:
    case EPERM:
        return "Choose a folder you are allowed to use, or ask for access to this one.";
    case EISDIR:
        return "A folder has the name of the file: rename or remove that folder.";
    default:
        return {};
    }
}

} // namespace

Error SystemError(int err, std::string_view path) {
    std::string description = std::strerror(err);
    description += ": ";
    description += path;
    return Error{err, std::move(description), HintFor(err)};
}

Error Cancelled(std::string description) {
    return Error{ECANCELED, std::move(description), {}};
}

bool IsCancellation(const Error& error) {
    return error.code == ECANCELED;
}

std::string FormatError(const Error& error) {
    if (IsCancellation(error))
        return error.description;
    std::string text = "Error " + std::to_string(error.code) + ": " + error.description;
    if (!error.hint.empty())
        text += "\n" + error.hint;
    return text;
}

} // namespace aster
