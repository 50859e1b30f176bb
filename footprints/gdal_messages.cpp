#include "footprints/gdal_messages.h"

#include <string_view>

namespace aster {

std::string GdalMessages::failure() const {
    return m_failure.empty() ? "unknown GDAL error" : m_failure;
}

void GdalMessages::clear() {
    m_failure.clear();
}

void CPL_STDCALL GdalMessages::Receive(CPLErr level, CPLErrorNum /*number*/, const char* message) {
    auto* self = static_cast<GdalMessages*>(CPLGetErrorHandlerUserData());
    if (self == nullptr || level < CE_Failure)
        return;
    // Only the first line, and not too much of it: GDAL may quote a whole SQL statement.
    constexpr std::size_t kLongest = 200;
    std::string_view text = message != nullptr && *message != '\0' ? message : "unknown GDAL error";
    text = text.substr(0, text.find('\n'));
    self->m_failure.assign(text.substr(0, kLongest));
    if (text.size() > kLongest)
        self->m_failure += "...";
}

} // namespace aster
