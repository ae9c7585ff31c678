// Plain, slow reference versions of the wire codec, written from the format's
// definition rather than from engine/codec.cpp, for the fuzz targets to
// compare the real code against.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace q4m::fuzz {

using Bytes = std::vector<std::uint8_t>;

namespace ref {

// Seven raw bytes travel as a flag byte (bit 6 - j holds the top bit of byte
// j) and the seven low halves; a last group of r bytes takes r + 1.
inline std::size_t packedLength(std::int64_t n) {
    if (n <= 0) return 0;
    return static_cast<std::size_t>(n / 7 * 8 + (n % 7 ? n % 7 + 1 : 0));
}

inline Bytes unpack(std::span<const std::uint8_t> packed) {
    Bytes out;
    for (std::size_t group = 0; group < packed.size(); group += 8) {
        const std::uint8_t flag = packed[group];
        for (std::size_t j = 1; j < 8 && group + j < packed.size(); ++j) {
            const bool top = (flag >> (7 - j)) & 1;
            out.push_back(static_cast<std::uint8_t>(packed[group + j] | (top ? 0x80 : 0)));
        }
    }
    return out;
}

// CRC-32/JAMCRC one bit at a time: reflected polynomial 0xEDB88320, initial
// value all ones, no final complement.
inline std::uint32_t crc(std::span<const std::uint8_t> data) {
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::uint8_t byte : data) {
        for (int bit = 0; bit < 8; ++bit) {
            const bool mix = ((c ^ (byte >> bit)) & 1u) != 0;
            c >>= 1;
            if (mix) c ^= 0xEDB88320u;
        }
    }
    return c;
}

// Least significant septet first; only the low seven bits of each byte (four
// of the fifth) count.
inline std::uint32_t septet32(const std::uint8_t* in) {
    std::uint64_t v = 0;
    for (int i = 4; i >= 0; --i) v = v << 7 | (in[i] & (i == 4 ? 0x0F : 0x7F));
    return static_cast<std::uint32_t>(v);
}

}  // namespace ref
}  // namespace q4m::fuzz
