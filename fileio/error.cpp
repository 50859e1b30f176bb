#include "fileio/error.h"

#include <cerrno>
#include <cstring>

namespace aster {

namespace {

ErrorKind KindOf(int err) {
    switch (err) {
    case ENOSPC:
    case EDQUOT:
        return ErrorKind::NoSpace;
    case EROFS:
        return ErrorKind::ReadOnly;
    case EACCES:
    case EPERM:
        return ErrorKind::Permission;
    case EISDIR:
        return ErrorKind::IsFolder;
    case ENOMEM:
        return ErrorKind::NoMemory;
    default:
        return ErrorKind::Other;
    }
}

std::string HintFor(ErrorKind kind) {
    switch (kind) {
    case ErrorKind::NoSpace:
        return "The disk is full: make room on it and try again.";
    case ErrorKind::ReadOnly:
        return "The drive is read-only: choose a folder on a drive you can write to.";
    case ErrorKind::Permission:
        return "Choose a folder you are allowed to use, or ask for access to this one.";
    case ErrorKind::IsFolder:
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
    const ErrorKind kind = KindOf(err);
    // A write past the size limit the shell set (ulimit -f), or past what the file system
    // holds: the user can change either, and nothing in the message says so.
    std::string hint = err == EFBIG ? "Files may not grow this large here: raise the file size "
                                      "limit (ulimit -f), or write to another file system."
                                    : HintFor(kind);
    return Error{err, std::move(description), std::move(hint), kind};
}

Error Cancelled(std::string description) {
    return Error{ECANCELED, std::move(description), {}, ErrorKind::Cancelled};
}

bool IsCancellation(const Error& error) {
    return error.kind == ErrorKind::Cancelled;
}

std::string FormatError(const Error& error, std::string_view hint) {
    if (IsCancellation(error))
        return error.description;
    std::string text = "Error " + std::to_string(error.code) + ": " + error.description;
    if (!hint.empty()) {
        text += '\n';
        text += hint;
    }
    return text;
}

std::string FormatError(const Error& error) {
    return FormatError(error, error.hint);
}

Error ExistsError(std::string_view path) {
    Error error = SystemError(EEXIST, path);
    error.kind = ErrorKind::OutputExists;
    return error;
}

} // namespace aster
