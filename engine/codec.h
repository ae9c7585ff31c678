// SysEx wire codec: septet fields, 7-in-8 packing and the data CRC.
// Pure functions over caller-owned buffers: no state, no allocation, any thread.
#pragma once

#include <cstdint>

namespace q4m::engine {

// 32-bit value as five septets, least significant first (the fifth carries 4 bits).
void putSeptet32(std::uint32_t value, std::uint8_t* out);
std::uint32_t getSeptet32(const std::uint8_t* in);

// Low 14 bits of value as two septets, least significant first.
void putSeptet14(std::int32_t value, std::uint8_t* out);
std::int32_t getSeptet14(const std::uint8_t* in);

// Bytes that n raw bytes take once 7-in-8 packed.
std::int32_t packedLength(std::int32_t n);

// dst must hold packedLength(n) bytes. Returns the bytes written.
std::int32_t packBytes(std::uint8_t* dst, const std::uint8_t* src, std::int32_t n);

// Largest raw count that m packed bytes can yield (the size dst of unpackBytes needs).
std::int32_t unpackedLength(std::int32_t m);

// dst must hold unpackedLength(m) bytes; reads only src[0..m). Returns the bytes written.
std::int32_t unpackBytes(std::uint8_t* dst, const std::uint8_t* src, std::int32_t m);

// CRC-32/JAMCRC: reflected 0xEDB88320, init 0xFFFFFFFF, no final complement.
std::uint32_t crcStep(std::uint32_t crc, std::uint8_t byte);
std::uint32_t dataCrc(const std::uint8_t* data, std::uint32_t count);

}  // namespace q4m::engine
