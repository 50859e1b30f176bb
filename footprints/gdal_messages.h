#pragma once

#include <cpl_error.h>

#include <string>

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
    // error" when GDAL failed without saying why.
    std::string failure() const;
    void clear();

  private:
    static void CPL_STDCALL Receive(CPLErr level, CPLErrorNum number, const char* message);

    std::string m_failure;
    CPLErrorHandlerPusher m_pusher{&GdalMessages::Receive, this};
};

} // namespace aster
