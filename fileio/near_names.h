#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace aster {

// How many letters must be put in, taken out, changed or swapped with their neighbour to
// turn `a` into `b`, ASCII letters compared without regard to case: a mistyped name is
// one or two away from the name meant.
std::size_t EditDistance(std::string_view a, std::string_view b);

// The `choices` a mistyped `given` most likely meant, best first and ties in the order
// given: those that `given` begins, or failing that those at the least edit distance,
// when that is at most two and less than the length of `given`. Empty when none is near.
std::vector<std::string> NearestNames(std::string_view given,
                                      const std::vector<std::string>& choices);

} // namespace aster
