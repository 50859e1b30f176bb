#pragma once

#include "readahead/listed_scenes.h"
#include "fileio/error.h"

#include <cstdint>
#include <optional>
#include <string>

namespace aster {

// What a build run reads from its front end while it runs: the chosen folder once at
// the start, the three option states for every listed file, and a modal message box.
class CatalogueHost {
  public:
    virtual ~CatalogueHost() = default;
    virtual std::string folderPath() = 0;
    virtual bool blanksSelected() = 0;
    virtual bool polysSelected() = 0;
    virtual bool spreadSelected() = 0;
    // Shows the prompt and returns when the user has closed the message.
    virtual void showMessage(const std::string& prompt) = 0;
    // After each listed file: how many are done of how many the list holds. Called on the
    // thread that runs MakeTextFiles.
    virtual void progress(std::int64_t /*done*/, std::int64_t /*total*/) {}
    // Asked after each listed file; true stops the run and changes no file.
    virtual bool cancelRequested() { return false; }
};

inline constexpr const char* kNoStyleMessage = "Choose an option for text file style.";

// Reads filelist.txt of the chosen folder and writes table.txt or polys.txt from the
// listed scene files, reading ahead as `settings` allow. Both files are replaced together
// when the run ends; an error or a stop, which the result carries, changes neither, and
// nor does a run that finds no output style chosen.
std::optional<Error> MakeTextFiles(CatalogueHost& host, const ReadAheadSettings& settings = {});

} // namespace aster
