#pragma once

#include <string>
#include <string_view>

namespace aster {

// A failure that ends a listing or a build run. The number is the operating system's
// error number where there is one; the description names the file concerned; the hint,
// where there is one, says what the user can do about it.
struct Error {
    int code = 0;
    std::string description;
    std::string hint;
};

// The error for a failed system call on `path`, from the errno value `err`.
Error SystemError(int err, std::string_view path);

// The error a procedure returns when the user stopped it: nothing was changed. Its
// description is the whole message to show.
Error Cancelled(std::string description);
bool IsCancellation(const Error& error);

// "Error <code>: <description>", and the hint on a line of its own: the form in which
// the window shows an error.
std::string FormatError(const Error& error);

} // namespace aster
