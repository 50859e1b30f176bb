#include "fileio/unnamed_file.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace aster {

std::optional<Error> OpenUnnamedFile(const std::string& folder, UniqueFd& file) {
    file = UniqueFd(::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (file)
        return std::nullopt;
    std::string path = folder + "/.aster-XXXXXX";
    file = UniqueFd(::mkostemp(path.data(), O_CLOEXEC));
    if (!file)
        return SystemError(errno, folder);
    ::unlink(path.c_str());
    return std::nullopt;
}

} // namespace aster
