#pragma once

#include <cstdint>
#include <vector>

namespace qsh {

using Bytes = std::vector<std::uint8_t>;

} // namespace qsh
