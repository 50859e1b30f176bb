#pragma once

#include <cpl_error.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace aster {

// While it lives, GDAL's messages on this thread go here instead of to stderr; the latest
// failure GDAL reported is kept for the Error that names the file.
class GdalMessages {
  public:
    GdalMessages() = default;
    GdalMessages(const GdalMessages&) = delete;
    GdalMessages& operator=(const GdalMessages&) = delete;

    bool hasFailure() const { return !m_failure.empty(); }
    // The latest failure reported since construction or since clear(), or "unknown GDAL
    // error" when GDAL failed without saying why. A failed write (SaysWriteFailed) is kept
    // over what fails after it: GDAL goes on, and its next steps fail for its sake ("no
    // such table" after the table could not be written). So is the failure that aborted a
    // database's transaction, over the refusals that follow it, even across clear().
    std::string failure() const;
    void clear();
    // Later messages say `shown` wherever GDAL wrote `hidden`: a layer is written under a
    // hidden scratch name, and a message names the output the user asked for. Aliases
    // are applied in the order they were given.
    void showPathAs(std::string hidden, std::string shown);
    // Later messages pass through `clean` first, whole: a database output takes out the
    // passwords a connection string may hold, wherever GDAL or libpq quotes one. A
    // message it makes empty is left out, and the failure before it stays the latest.
    using Cleaner = std::string (*)(std::string_view message);
    void cleanWith(Cleaner clean) { m_clean = clean; }

  private:
    static void CPL_STDCALL Receive(CPLErr level, CPLErrorNum number, const char* message);

    std::string m_failure;
    std::string m_earlier; // the last failure clear() put aside
    std::vector<std::pair<std::string, std::string>> m_aliases;
    Cleaner m_clean = nullptr;
    CPLErrorHandlerPusher m_pusher{&GdalMessages::Receive, this};
};

// Whether a message says that a write found no room, or a file that may not grow: SQLite's
// "database or disk is full" and "disk I/O error", GDAL's "I/O failure", the system's
// "File too large" and "No space left on device".
bool SaysWriteFailed(std::string_view message);

} // namespace aster
