#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace qel_signer {

using Bytes = std::vector<std::uint8_t>;
using ByteSpan = std::span<const std::uint8_t>;

}  // namespace qel_signer
