#pragma once

#include <string>
#include <string_view>

namespace aster {

// A failure that ends a listing or a build run. The number is the operating system's
// error number where there is one; the description names the file concerned.
struct Error {
    int code = 0;
    std::string description;
};

// The error for a failed system call on `path`, from the errno value `err`.
Error SystemError(int err, std::string_view path);

// "Error <code>: <description>", the form in which the window shows an error.
std::string FormatError(const Error& error);

} // namespace aster
