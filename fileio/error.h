#pragma once

#include <string>
#include <string_view>

namespace aster {

// What went wrong, for a front end to word its advice by. The core names no control of
// any front end, so advice that would name one (a button, a command, an option) is left
// to each front end, which words it from the kind; other advice is the error's hint.
enum class ErrorKind {
    Other,           // the description and the hint, if any, say it all
    Cancelled,       // the user stopped the procedure; the description is the message
    ListMissing,     // the folder has no filelist.txt
    FolderGone,      // the chosen folder is not there (or is no folder)
    NoCurrentFolder, // a relative path was given and the current folder has gone
    LineTooLong,     // a line of filelist.txt is longer than any file name
    NotRegularFile,  // filelist.txt is a device, a FIFO or a socket
    IsFolder,        // a folder has the name of a file to read or to write
    OutputExists,    // the output is there and replacing it was not asked for
    UnknownFormat,   // the output's name says no format to write
    NoSpace,         // the disk or the user's quota is full
    ReadOnly,        // the file system is mounted read-only
    Permission,      // the user may not read or write there
    NoMemory,        // the procedure ran out of memory
};

// A failure that ends a listing or a build run. The number is the operating system's
// error number where there is one; the description names the file concerned; the hint,
// where there is one, says what the user can do about it in words that suit every front
// end, and is empty where the front end words the advice from the kind.
struct Error {
    int code = 0;
    std::string description;
    std::string hint;
    ErrorKind kind = ErrorKind::Other;
};

// The error for a failed system call on `path`, from the errno value `err`, with the
// kind and the hint that the number tells.
Error SystemError(int err, std::string_view path);
// EEXIST for an output that is there already, of the kind the front ends advise on.
Error ExistsError(std::string_view path);

// The error a procedure returns when the user stopped it: nothing was changed. Its
// description is the whole message to show.
Error Cancelled(std::string description);
bool IsCancellation(const Error& error);

// "Error <code>: <description>", and `hint` on a line of its own where there is one: the
// form in which the window shows an error. A cancellation shows its description alone.
std::string FormatError(const Error& error, std::string_view hint);
// As above with the error's own hint.
std::string FormatError(const Error& error);

} // namespace aster
