#pragma once

#include "metadata/hdf_texts.h"

#include <cstddef>
#include <deque>
#include <optional>
#include <string>

namespace aster {

// The HDF4 library crashes on some damaged files, and may loop on others; in the run's
// own process either would end the whole run. So it runs in a helper process, the
// program `aster-hdf-reader`: a helper that dies or stays silent costs the file it was
// reading, which gets "unreadable HDF", and the next file goes to a new helper. A helper
// also leaves after any file the library failed on, since what the library keeps of such
// a file has been seen to break later reads.
inline constexpr const char* kHdfReaderProgram = "aster-hdf-reader";

// The helper program where the package installs it, relative to the running program's
// folder, or beside the program; empty when neither holds it.
std::string InstalledHdfReaderProgram();

// One helper at a time, started when first needed and again after one has ended. Files
// are sent ahead of their answers, so that the helper reads one after another without
// waiting to be woken for each. Not thread-safe: the thread that has the library's turn
// uses it.
class HdfReaderProcess {
  public:
    explicit HdfReaderProcess(HdfReaderSettings settings);
    HdfReaderProcess(const HdfReaderProcess&) = delete;
    HdfReaderProcess& operator=(const HdfReaderProcess&) = delete;
    ~HdfReaderProcess();

    // Sends the HDF file open as `fd`, which must stay open until its answer is in; to a
    // helper started by the next receive() where none runs.
    void send(int fd);
    // The answer for the oldest file sent and not answered; none when no helper can be
    // started, or one ended by itself before its first answer (a helper that cannot run,
    // not a file that crashed it), for the caller to read the file itself. Where `giveUp`
    // says so while it waits, the helper is ended and the file gets kHdfReadGivenUp.
    std::optional<HdfTextsOrReason> receive(const GiveUpWaiting& giveUp = {});
    // Forgets every file sent, and ends the helper.
    void abandon() noexcept;

  private:
    struct Helper;
    void sendUnsent();

    HdfReaderSettings m_settings;
    std::unique_ptr<Helper> m_helper;
    std::deque<int> m_files;      // sent and not answered, oldest first
    std::size_t m_sentToHelper = 0; // how many of them the helper has
    bool m_oldestRetried = false;   // the oldest file is being tried by a second helper
    bool m_cannotRun = false;       // a helper ended by itself unasked: none is started again
};

// The helper's side: reads each file sent on `socket` and answers, until the socket is
// closed, a read fails in the library, or the socket breaks. Gives the exit status.
int ServeHdfReads(int socket);
// The descriptor the helper is given its socket as.
inline constexpr int kHdfReaderSocket = 3;

} // namespace aster
