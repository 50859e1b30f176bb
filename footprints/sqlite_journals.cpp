#include "footprints/sqlite_journals.h"

#include "fileio/folder.h"

#include <sqlite3.h>

#include <array>
#include <cerrno>
#include <memory>
#include <sys/stat.h>

namespace aster {

namespace {

// In the order they are looked for: a rollback journal first, since it means a writer.
constexpr std::array<std::string_view, 3> kJournalSuffixes{"-journal", "-wal", "-shm"};

Error Busy(std::string description, std::string hint) {
    return Error{EBUSY, std::move(description), std::move(hint), ErrorKind::Other};
}

Error JournalRefusal(const std::string& path, std::string_view suffix, bool earlier) {
    const std::string journal = path + std::string(suffix);
    const std::string check = "(sqlite3 " + path + " 'PRAGMA quick_check')";
    if (!earlier)
        return Busy(journal + " is left from an earlier " + path +
                        ", which is gone: SQLite would take it for part of the new file",
                    "If no program has " + path + " open, remove " + journal +
                        ", then try again. Nothing was changed.");
    if (suffix == "-journal")
        return Busy(journal + " holds part of a change to " + path +
                        ": a program is writing it, or stopped before it had finished",
                    "Let the program that writes it finish. If none does, open it once with "
                    "sqlite3 " +
                        check +
                        ", which undoes the unfinished change, then try again. Nothing was "
                        "changed.");
    if (suffix == "-wal")
        return Busy(path + " is open in another program, or was not closed: " + journal +
                        " holds changes not yet written into it",
                    "Close the program that has it open. If none has, open it once with "
                    "sqlite3 " +
                        check +
                        ", which writes them into it, or remove the log if the file was put "
                        "there after it was left; then try again. Nothing was changed.");
    // Without a write-ahead log, the shared memory file is only a leftover.
    return Busy(path + " is open in another program, or was not closed: " + journal +
                    " is beside it",
                "Close the program that has it open. If none has, remove " + journal +
                    ", then try again. Nothing was changed.");
}

struct CloseDatabase {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};

} // namespace

bool WritesSqlite(std::string_view driverName) {
    return driverName == "GPKG" || driverName == "SQLite";
}

std::optional<Error> CheckEarlierJournals(const std::string& path) {
    struct stat info {};
    const bool earlier = ::lstat(path.c_str(), &info) == 0;
    for (const std::string_view suffix : kJournalSuffixes) {
        const std::string journal = path + std::string(suffix);
        if (::lstat(journal.c_str(), &info) == 0)
            return JournalRefusal(path, suffix, earlier);
        if (errno != ENOENT)
            return SystemError(errno, journal);
    }
    return std::nullopt;
}

std::optional<Error> SettleSqliteFile(const std::string& path, const std::string& shownPath) {
    sqlite3* opened = nullptr;
    const int status = sqlite3_open_v2(path.c_str(), &opened, SQLITE_OPEN_READWRITE, nullptr);
    const std::unique_ptr<sqlite3, CloseDatabase> db(opened);
    // Leaving write-ahead logging writes the log into the file and removes it; leaving a
    // persistent journal for DELETE removes the journal that TRUNCATE or PERSIST left,
    // once SQLite has found it not hot. A file in rollback mode is not written to.
    if (status != SQLITE_OK ||
        sqlite3_exec(db.get(), "PRAGMA journal_mode=PERSIST; PRAGMA journal_mode=DELETE", nullptr,
                     nullptr, nullptr) != SQLITE_OK)
        return Error{EIO,
                     "SQLite could not finish " + shownPath + ": " +
                         (db ? sqlite3_errmsg(db.get()) : "out of memory"),
                     {},
                     ErrorKind::Other};
    return std::nullopt;
}

std::optional<Error> CheckNewJournals(const std::string& path, const std::string& shownPath) {
    struct stat info {};
    for (const std::string_view suffix : kJournalSuffixes) {
        const std::string journal = path + std::string(suffix);
        if (::lstat(journal.c_str(), &info) == 0 || errno != ENOENT)
            return Error{EIO,
                         "SQLite left " + std::string(FileNameOf(journal)) +
                             " beside the new layer " + shownPath + ", so it was not put in place",
                         "Nothing was changed.", ErrorKind::Other};
    }
    return std::nullopt;
}

} // namespace aster
