#include "footprints/gdal_messages.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>

namespace aster {

bool SaysWriteFailed(std::string_view message) {
    const std::array<std::string_view, 5> words{"disk is full", "disk I/O error", "I/O failure",
                                                std::strerror(EFBIG), std::strerror(ENOSPC)};
    for (const std::string_view word : words)
        if (message.find(word) != std::string_view::npos)
            return true;
    return false;
}

std::string GdalMessages::failure() const {
    return m_failure.empty() ? "unknown GDAL error" : m_failure;
}

void GdalMessages::clear() {
    if (!m_failure.empty())
        m_earlier = std::move(m_failure);
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
    std::string_view given =
        message != nullptr && *message != '\0' ? message : "unknown GDAL error";
    const std::string cleaned = self->m_clean != nullptr ? self->m_clean(given) : std::string();
    if (self->m_clean != nullptr && cleaned.empty())
        return;
    if (self->m_clean != nullptr)
        given = cleaned;
    // PostgreSQL's reason follows the statement GDAL quotes, on a line of its own.
    const std::size_t reason = given.find("\nERROR:");
    if (reason != std::string_view::npos) {
        given.remove_prefix(reason + 7);
        while (!given.empty() && given.front() == ' ')
            given.remove_prefix(1);
    }
    std::string text(given.substr(0, given.find('\n')));
    for (const auto& [hidden, shown] : self->m_aliases) {
        for (std::size_t at = text.find(hidden); at != std::string::npos;
             at = text.find(hidden, at + shown.size()))
            text.replace(at, hidden.size(), shown);
    }
    if (SaysWriteFailed(self->m_failure) && !SaysWriteFailed(text))
        return;
    // PostgreSQL refuses every statement after a failed one in a transaction: the failure
    // that aborted it says why, though a step that went on cleared it.
    if (text.find("current transaction is aborted") != std::string::npos) {
        if (!self->m_failure.empty())
            return;
        if (!self->m_earlier.empty())
            text = self->m_earlier;
    }
    self->m_failure = text.size() <= kLongest ? text
                                              : text.substr(0, kLongest - kEnd) + "..." +
                                                    text.substr(text.size() - kEnd);
}

} // namespace aster
