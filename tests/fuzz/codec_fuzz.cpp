// The wire codec against its reference: unpacking arbitrary bytes (read only
// within the given length, written only within unpackedLength), packing and
// unpacking back, the CRC against a bitwise one, and the septet fields.
// Every buffer is allocated to its exact size so that AddressSanitizer sees
// one byte too many.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "engine/codec.h"
#include "tests/fuzz/reference.h"

namespace {

namespace engine = q4m::engine;
namespace ref = q4m::fuzz::ref;
using q4m::fuzz::Bytes;

[[noreturn]] void failed(const char* what, std::size_t size) {
    std::fprintf(stderr, "codec fuzz: %s (input of %zu bytes)\n", what, size);
    std::abort();
}

// A heap copy of exactly n bytes, so that reading past it is caught.
std::unique_ptr<std::uint8_t[]> exactCopy(const std::uint8_t* data, std::size_t n) {
    auto copy = std::make_unique<std::uint8_t[]>(n ? n : 1);
    if (n) std::memcpy(copy.get(), data, n);
    return copy;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto n = static_cast<std::int32_t>(size);
    const std::span<const std::uint8_t> input(data, size);

    // Unpack the input as received packed data.
    {
        const auto in = exactCopy(data, size);
        const std::int32_t m = engine::unpackedLength(n);
        if (static_cast<std::size_t>(m) != ref::unpack(input).size())
            failed("unpackedLength differs from the reference", size);
        auto out = std::make_unique<std::uint8_t[]>(static_cast<std::size_t>(m) + 1);
        if (engine::unpackBytes(out.get(), in.get(), n) != m) failed("unpackBytes count", size);
        if (Bytes(out.get(), out.get() + m) != ref::unpack(input))
            failed("unpackBytes bytes", size);
    }

    // Pack the input as raw data, and back.
    {
        const auto in = exactCopy(data, size);
        const std::int32_t p = engine::packedLength(n);
        if (static_cast<std::size_t>(p) != ref::packedLength(n)) failed("packedLength", size);
        auto packed = std::make_unique<std::uint8_t[]>(p ? static_cast<std::size_t>(p) : 1);
        if (engine::packBytes(packed.get(), in.get(), n) != p) failed("packBytes count", size);
        for (std::int32_t i = 0; i < p; ++i)
            if (packed[i] >= 0x80) failed("packBytes wrote a byte with its top bit set", size);
        if (engine::unpackedLength(p) != n) failed("unpackedLength(packedLength(n)) != n", size);
        if (ref::unpack({packed.get(), static_cast<std::size_t>(p)}) !=
            Bytes(input.begin(), input.end()))
            failed("pack then unpack is not the identity", size);
    }

    // The CRC, whole and step by step.
    {
        const std::uint32_t expected = ref::crc(input);
        if (engine::dataCrc(data, static_cast<std::uint32_t>(size)) != expected)
            failed("dataCrc differs from the bitwise CRC", size);
        std::uint32_t c = 0xFFFFFFFFu;
        for (std::uint8_t b : input) c = engine::crcStep(c, b);
        if (c != expected) failed("crcStep differs from the bitwise CRC", size);
    }

    // Septet fields: any five bytes read, and a value through put and get.
    if (size >= 5) {
        const auto in = exactCopy(data, 5);
        if (engine::getSeptet32(in.get()) != ref::septet32(in.get())) failed("getSeptet32", size);
        std::uint32_t value = 0;
        std::memcpy(&value, data, 4);
        auto out = std::make_unique<std::uint8_t[]>(5);
        engine::putSeptet32(value, out.get());
        for (int i = 0; i < 5; ++i)
            if (out[i] >= (i == 4 ? 0x10 : 0x80)) failed("putSeptet32 wrote a wide septet", size);
        if (engine::getSeptet32(out.get()) != value) failed("septet32 round trip", size);

        auto two = std::make_unique<std::uint8_t[]>(2);
        const auto v14 = static_cast<std::int32_t>(value);
        engine::putSeptet14(v14, two.get());
        if (two[0] >= 0x80 || two[1] >= 0x80) failed("putSeptet14 wrote a wide septet", size);
        if (engine::getSeptet14(two.get()) != (v14 & 0x3FFF)) failed("septet14 round trip", size);
        const std::uint8_t septets[2] = {static_cast<std::uint8_t>(data[4] & 0x7F),
                                         static_cast<std::uint8_t>(data[0] & 0x7F)};
        if (engine::getSeptet14(septets) != (septets[0] | septets[1] << 7))
            failed("getSeptet14", size);
    }
    return 0;
}
