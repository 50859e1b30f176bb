#include "app/hints.h"

namespace aster {

std::string WindowHint(const Error& error) {
    // Every kind is named, so that a new one is worded here before it compiles cleanly.
    switch (error.kind) {
    case ErrorKind::ListMissing:
        return "Make the list of files first with \"Get List of Files\".";
    case ErrorKind::FolderGone:
        // The folder list showed the folder: it was there when it was chosen.
        return "The folder is no longer there: choose another folder.";
    case ErrorKind::NoCurrentFolder:
        return "The folder is no longer there: choose another folder.";
    case ErrorKind::LineTooLong:
        return "Each line of the list names one file in the folder: make the list again "
               "with \"Get List of Files\".";
    case ErrorKind::NotRegularFile:
        return "The list must be an ordinary file: make it again with \"Get List of Files\".";
    case ErrorKind::OutputExists:
        return "Rename or remove the earlier file, then try again.";
    case ErrorKind::UnknownFormat:
        return "Name the output with the extension of a format that can be written.";
    case ErrorKind::Other:
    case ErrorKind::Cancelled:
    case ErrorKind::IsFolder:
    case ErrorKind::NoSpace:
    case ErrorKind::ReadOnly:
    case ErrorKind::Permission:
    case ErrorKind::NoMemory:
        break;
    }
    return error.hint;
}

} // namespace aster
