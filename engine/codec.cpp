#include "engine/codec.h"

#include <array>

namespace q4m::engine {

namespace {

// Entry i is i put through eight reflected steps; built at compile time so
// that no thread ever sees a half-filled table.
constexpr std::array<std::uint32_t, 256> makeCrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1u) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        table[i] = c;
    }
    return table;
}

constexpr std::array<std::uint32_t, 256> CrcTable = makeCrcTable();

static_assert(CrcTable[1] == 0x77073096u && CrcTable[255] == 0x2D02EF8Du);

}  // namespace

void putSeptet32(std::uint32_t value, std::uint8_t* out) {
    out[0] = value & 0x7F;
    out[1] = (value >> 7) & 0x7F;
    out[2] = (value >> 14) & 0x7F;
    out[3] = (value >> 21) & 0x7F;
    out[4] = (value >> 28) & 0x0F;
}

std::uint32_t getSeptet32(const std::uint8_t* in) {
    // Each septet is masked before the shift, so a stray top bit cannot leak
    // into the neighbouring septet's bits.
    return std::uint32_t{in[0] & 0x7Fu} | std::uint32_t{in[1] & 0x7Fu} << 7 |
           std::uint32_t{in[2] & 0x7Fu} << 14 | std::uint32_t{in[3] & 0x7Fu} << 21 |
           std::uint32_t{in[4] & 0x0Fu} << 28;
}

void putSeptet14(std::int32_t value, std::uint8_t* out) {
    const auto v = static_cast<std::uint32_t>(value);
    out[0] = v & 0x7F;
    out[1] = (v >> 7) & 0x7F;
}

std::int32_t getSeptet14(const std::uint8_t* in) {
    // Taken as received: only septets give 0..16383; callers that read
    // device input check the bytes themselves.
    return std::int32_t{in[0]} | std::int32_t{in[1]} << 7;
}

std::int32_t packedLength(std::int32_t n) {
    if (n <= 0) return 0;
    const std::int32_t rest = n % 7;
    return 8 * (n / 7) + (rest == 0 ? 0 : rest + 1);
}

std::int32_t unpackedLength(std::int32_t m) {
    if (m <= 0) return 0;
    const std::int32_t rest = m % 8;
    return 7 * (m / 8) + (rest > 1 ? rest - 1 : 0);
}

std::int32_t packBytes(std::uint8_t* dst, const std::uint8_t* src, std::int32_t n) {
    std::int32_t written = 0;
    for (std::int32_t start = 0; start < n; start += 7) {
        const std::int32_t r = n - start < 7 ? n - start : 7;
        std::uint8_t flag = 0;
        for (std::int32_t j = 0; j < r; ++j) {
            const std::uint8_t b = src[start + j];
            if (b & 0x80) flag |= static_cast<std::uint8_t>(0x40 >> j);
            dst[written + 1 + j] = b & 0x7F;
        }
        dst[written] = flag;
        written += r + 1;
    }
    return written;
}

std::int32_t unpackBytes(std::uint8_t* dst, const std::uint8_t* src, std::int32_t m) {
    std::int32_t written = 0;
    for (std::int32_t start = 0; start < m; start += 8) {
        const std::int32_t k = m - start < 8 ? m - start : 8;
        const std::uint8_t flag = src[start];
        for (std::int32_t j = 0; j < k - 1; ++j) {
            std::uint8_t b = src[start + 1 + j];
            if (flag & (0x40 >> j)) b |= 0x80;
            dst[written + j] = b;
        }
        written += k - 1;
    }
    return written;
}

std::uint32_t crcStep(std::uint32_t crc, std::uint8_t byte) {
    return (crc >> 8) ^ CrcTable[(crc ^ byte) & 0xFF];
}

std::uint32_t dataCrc(const std::uint8_t* data, std::uint32_t count) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::uint32_t i = 0; i < count; ++i) crc = crcStep(crc, data[i]);
    return crc;
}

}  // namespace q4m::engine
