#pragma once

#include "fileio/error.h"
#include "fileio/unique_fd.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace aster {

// What a feature was written with that must read back the same in every format: its
// scene number and its first four corners (lat1..lat4, lon1..lon4; NaN for a null field,
// where the scene has fewer corners).
struct WrittenFeature {
    std::int32_t scene = 0;
    std::array<double, 8> corners{};
};

// The features a layer was written with, in the order written, kept in an unnamed file
// in the layer's scratch folder rather than in memory: a million features would hold
// some seventy megabytes. In memory stays only each feature's scene number, for finding
// one again when a driver reads them back in another order.
class WrittenFeatures {
  public:
    // Opens the unnamed file in `folder`; its failures name `shownAs`, the output.
    std::optional<Error> open(const std::string& folder, const std::string& shownAs);
    std::optional<Error> add(const WrittenFeature& feature);
    std::int64_t size() const { return static_cast<std::int64_t>(m_scenes.size()); }
    // Writes what is buffered, before the features are read back.
    std::optional<Error> flush();
    // Where the feature of `scene` was written, or none when none was.
    std::optional<std::size_t> placeOf(std::int32_t scene) const;
    // The feature written at `place`, or none when the file cannot be read. Fastest when
    // asked in the order written.
    std::optional<WrittenFeature> at(std::size_t place);

  private:

    UniqueFd m_file;
    std::string m_shownAs;
    std::vector<std::int32_t> m_scenes; // ascending: scenes are written in list order
    std::vector<WrittenFeature> m_buffer;
    std::vector<WrittenFeature> m_window; // features read ahead from m_windowStart on
    std::size_t m_windowStart = 0;
};

} // namespace aster
