#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace aster {

// The license a catalogue's collection states unless the user names one.
inline constexpr std::string_view kDefaultLicense = "proprietary";

// The license field for `id`: an SPDX license identifier in its own spelling, whatever
// the case `id` was given in, or "various" or "proprietary" (STAC's words for data under
// several licenses or under none of SPDX's). Nothing for anything else.
std::optional<std::string> CatalogueLicense(std::string_view id);

} // namespace aster
