// How one fuzz input holds two archives: a 4-byte little-endian length of the
// original archive, the original's bytes, then the update archive's bytes up
// to the end. A length past the end of the input is clamped, so every input
// splits somehow and a mutation of the length moves bytes between the two.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "pak_model.h"

namespace fuzz {

struct archive_pair {
    std::string original;
    std::string update;
};

inline archive_pair split_input(const std::uint8_t* data, std::size_t size)
{
    if (size < 4) {
        return {};
    }
    const std::uint32_t declared = static_cast<std::uint32_t>(data[0]) | static_cast<std::uint32_t>(data[1]) << 8U |
                                   static_cast<std::uint32_t>(data[2]) << 16U |
                                   static_cast<std::uint32_t>(data[3]) << 24U;
    const std::size_t rest = size - 4;
    const std::size_t original_size = declared < rest ? declared : rest;
    const char* bytes = reinterpret_cast<const char*>(data) + 4;
    return {std::string(bytes, original_size), std::string(bytes + original_size, rest - original_size)};
}

inline std::string join_input(const archive_pair& pair)
{
    std::string input(4, '\0');
    pakmodel::put_le32(input, 0, static_cast<std::int32_t>(pair.original.size()));
    return input + pair.original + pair.update;
}

} // namespace fuzz
