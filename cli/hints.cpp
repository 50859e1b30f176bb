#include "cli/hints.h"

#include "footprints/output_formats.h"

namespace aster {

std::string CommandLineHint(const Error& error) {
    // Every kind is named, so that a new one is worded here before it compiles cleanly.
    switch (error.kind) {
    case ErrorKind::ListMissing:
        return "Make the list of files first with \"aster list\".";
    case ErrorKind::FolderGone:
        // The command named the folder: it may never have been there.
        return "There is no such folder: name one that exists.";
    case ErrorKind::NoCurrentFolder:
        return "Change to a folder that exists, or name the folder.";
    case ErrorKind::LineTooLong:
        return "Each line of the list names one file in the folder: make the list again "
               "with \"aster list\".";
    case ErrorKind::NotRegularFile:
        return "The list must be an ordinary file: make it again with \"aster list\".";
    case ErrorKind::OutputExists:
        return "Choose another output name, or use --overwrite to replace the earlier layer.";
    case ErrorKind::UnknownFormat:
        return "End the output's name in " + OutputFormatChoices() +
               ", or name a GDAL format with -f.";
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
