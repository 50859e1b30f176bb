#include "footprints/written_features.h"

#include "fileio/unnamed_file.h"
#include "fileio/whole_file.h"

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <unistd.h>

namespace aster {

namespace {

constexpr std::size_t kBatch = 4096; // features written or read at once

} // namespace

std::optional<Error> WrittenFeatures::open(const std::string& folder, const std::string& shownAs) {
    m_shownAs = shownAs;
    if (auto error = OpenUnnamedFile(folder, m_file))
        return SystemError(error->code, shownAs);
    return std::nullopt;
}

std::optional<Error> WrittenFeatures::add(const WrittenFeature& feature) {
    m_scenes.push_back(feature.scene);
    m_buffer.push_back(feature);
    return m_buffer.size() >= kBatch ? flush() : std::nullopt;
}

std::optional<Error> WrittenFeatures::flush() {
    const std::string_view bytes(reinterpret_cast<const char*>(m_buffer.data()),
                                 m_buffer.size() * sizeof(WrittenFeature));
    if (const int err = WriteAll(m_file.get(), bytes))
        return SystemError(err, m_shownAs);
    m_buffer.clear();
    return std::nullopt;
}

std::optional<WrittenFeature> WrittenFeatures::at(std::size_t index) {
    if (index >= m_scenes.size())
        return std::nullopt;
    if (index < m_windowStart || index >= m_windowStart + m_window.size()) {
        m_window.resize(std::min(kBatch, m_scenes.size() - index));
        std::size_t got = 0;
        const std::size_t bytes = m_window.size() * sizeof(WrittenFeature);
        if (ReadAt(m_file.get(), reinterpret_cast<char*>(m_window.data()), bytes,
                   static_cast<off_t>(index * sizeof(WrittenFeature)), got) != 0 ||
            got != bytes) {
            m_window.clear();
            return std::nullopt;
        }
        m_windowStart = index;
    }
    return m_window[index - m_windowStart];
}

std::optional<std::size_t> WrittenFeatures::placeOf(std::int32_t scene) const {
    const auto at = std::lower_bound(m_scenes.begin(), m_scenes.end(), scene);
    if (at == m_scenes.end() || *at != scene)
        return std::nullopt;
    return static_cast<std::size_t>(at - m_scenes.begin());
}

} // namespace aster
