// stand-in until fileio provides MoveIntoPlace
#include "move_into_place.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace aster {

namespace {

enum class Moved { Swapped, Renamed };

bool Swap(const std::string& a, const std::string& b) {
    return ::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0;
}

// Puts back what the first moves did, last first, as far as the system lets it.
void Undo(const std::vector<ScratchMove>& moves, const std::vector<Moved>& done) {
    for (std::size_t i = done.size(); i-- > 0;) {
        if (done[i] == Moved::Swapped)
            Swap(moves[i].from, moves[i].to);
        else
            ::rename(moves[i].to.c_str(), moves[i].from.c_str());
    }
}

} // namespace

std::optional<Error> MoveIntoPlace(const std::vector<ScratchMove>& moves) {
    for (const ScratchMove& move : moves) {
        struct stat info {};
        if (::lstat(move.to.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
            return SystemError(EISDIR, move.to);
    }
    // An existing `to` is swapped with its `from` rather than replaced, so that a later
    // failure can swap it back; a new one is a plain rename.
    std::vector<Moved> done;
    for (const ScratchMove& move : moves) {
        if (Swap(move.from, move.to)) {
            done.push_back(Moved::Swapped);
            continue;
        }
        int err = errno;
        if (err == ENOENT || err == EINVAL || err == ENOSYS) {
            if (::rename(move.from.c_str(), move.to.c_str()) == 0) {
                done.push_back(Moved::Renamed);
                continue;
            }
            err = errno;
        }
        Undo(moves, done);
        return SystemError(err, move.to);
    }
    // The earlier files now carry the scratch names.
    for (std::size_t i = 0; i < done.size(); ++i)
        if (done[i] == Moved::Swapped)
            ::unlink(moves[i].from.c_str());
    return std::nullopt;
}

} // namespace aster
