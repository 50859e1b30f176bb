#include "footprints/gdal_messages.h"

#include <string_view>

namespace aster {

std::string GdalMessages::failure() const {
    return m_failure.empty() ? "unknown GDAL error" : m_failure;
}

void GdalMessages::clear() {
    m_failure.clear();
}

void GdalMessages::showPathAs(std::string hidden, std::string shown) {
    if (!hidden.empty())
        m_aliases.emplace_back(std::move(hidden), std::move(shown));
}

void CPL_STDCALL GdalMessages::Receive(CPLErr level, CPLErrorNum /*number*/, const char* message) {
    auto* self = static_cast<GdalMessages*>(CPLGetErrorHandlerUserData());
    if (self == nullptr || level < CE_Failure)
        return;
    // Only the first line, and not too much of it: GDAL may quote a whole SQL statement,
    // and then gives SQLite's reason after it, so the end is kept too.
    constexpr std::size_t kLongest = 200, kEnd = 60;
    const std::string_view given =
        message != nullptr && *message != '\0' ? message : "unknown GDAL error";
    std::string text(given.substr(0, given.find('\n')));
    for (const auto& [hidden, shown] : self->m_aliases) {
        for (std::size_t at = text.find(hidden); at != std::string::npos;
             at = text.find(hidden, at + shown.size()))
            text.replace(at, hidden.size(), shown);
    }
    self->m_failure = text.size() <= kLongest ? text
                                              : text.substr(0, kLongest - kEnd) + "..." +
                                                    text.substr(text.size() - kEnd);
}

} // namespace aster
