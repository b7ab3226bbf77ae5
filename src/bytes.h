#pragma once

#include <cstdint>
#include <vector>

namespace tamber {

// Encoded messages, received records, procedure results, file handles and file contents.
using Bytes = std::vector<std::uint8_t>;

}  // namespace tamber
