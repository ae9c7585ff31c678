#include "engine/codec.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <string_view>
#include <vector>

namespace q4m::engine {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes randomBytes(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes out(n);
    for (auto& b : out) b = static_cast<std::uint8_t>(rng());
    return out;
}

TEST(Septet32, EncodesLeastSignificantFirstAndDecodesBack) {
    struct Case {
        std::uint32_t value;
        std::array<std::uint8_t, 5> septets;
    };
    const Case cases[] = {
        {0x00000000, {0x00, 0x00, 0x00, 0x00, 0x00}}, {0xFFFFFFFF, {0x7F, 0x7F, 0x7F, 0x7F, 0x0F}},
        {0x00022FFC, {0x7C, 0x5F, 0x08, 0x00, 0x00}}, {0x000DF000, {0x00, 0x60, 0x37, 0x00, 0x00}},
        {0x10000000, {0x00, 0x00, 0x00, 0x00, 0x01}}, {0x80000080, {0x00, 0x01, 0x00, 0x00, 0x08}},
    };
    for (const auto& c : cases) {
        std::array<std::uint8_t, 5> out{};
        putSeptet32(c.value, out.data());
        EXPECT_EQ(out, c.septets) << std::hex << c.value;
        EXPECT_EQ(getSeptet32(c.septets.data()), c.value) << std::hex << c.value;
    }
}

TEST(Septet32, MasksEverySeptetSoStrayTopBitsDoNotSpill) {
    const std::uint8_t allOnes[5] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(getSeptet32(allOnes), 0xFFFFFFFFu);
    const std::uint8_t topBitsOnly[5] = {0x80, 0x80, 0x80, 0x80, 0xF0};
    EXPECT_EQ(getSeptet32(topBitsOnly), 0u);
}

TEST(Septet14, EncodesLowFourteenBits) {
    struct Case {
        std::int32_t value;
        std::array<std::uint8_t, 2> septets;
    };
    const Case cases[] = {
        {0, {0x00, 0x00}},     {4096, {0x00, 0x20}},  {16383, {0x7F, 0x7F}},
        {16384, {0x00, 0x00}}, {16385, {0x01, 0x00}}, {-1, {0x7F, 0x7F}},
    };
    for (const auto& c : cases) {
        std::array<std::uint8_t, 2> out{};
        putSeptet14(c.value, out.data());
        EXPECT_EQ(out, c.septets) << c.value;
    }
    for (std::int32_t v = 0; v <= 16383; ++v) {
        std::uint8_t out[2];
        putSeptet14(v, out);
        ASSERT_EQ(getSeptet14(out), v);
    }
}

TEST(PackedLength, MatchesGroupsOfSevenPlusFlag) {
    const std::pair<std::int32_t, std::int32_t> cases[] = {
        {0, 0},  {1, 2},   {4, 5},   {6, 7},       {7, 8},
        {8, 10}, {13, 15}, {14, 16}, {4096, 4682}, {16383, 18724},
    };
    for (auto [n, packed] : cases) EXPECT_EQ(packedLength(n), packed) << n;
    for (std::int32_t n = 0; n <= 16383; ++n) ASSERT_EQ(unpackedLength(packedLength(n)), n);
}

TEST(Packing, KnownVectorPacksAndUnpacks) {
    const Bytes raw = {0x80, 0x01, 0xFF, 0x7F, 0x00, 0x81, 0x02, 0x83};
    const Bytes packed = {0x52, 0x00, 0x01, 0x7F, 0x7F, 0x00, 0x01, 0x02, 0x40, 0x03};

    Bytes out(packedLength(8));
    EXPECT_EQ(packBytes(out.data(), raw.data(), 8), 10);
    EXPECT_EQ(out, packed);

    Bytes back(unpackedLength(10));
    EXPECT_EQ(unpackBytes(back.data(), packed.data(), 10), 8);
    EXPECT_EQ(back, raw);
}

TEST(Packing, NothingToPackWritesNothing) {
    std::uint8_t guard = 0xAA;
    EXPECT_EQ(packBytes(&guard, nullptr, 0), 0);
    EXPECT_EQ(unpackBytes(&guard, nullptr, 0), 0);
    EXPECT_EQ(guard, 0xAA);
}

// Buffers are sized exactly, so AddressSanitizer reports any read or write past
// the counts the codec promises; the output must be septets only.
TEST(Packing, RoundTripsEveryGroupShapeWithinExactBuffers) {
    std::vector<std::int32_t> lengths;
    for (std::int32_t n = 0; n <= 64; ++n) lengths.push_back(n);
    for (std::int32_t n : {4095, 4096, 4097, 16382, 16383}) lengths.push_back(n);

    for (std::int32_t n : lengths) {
        const Bytes raw = randomBytes(n, n);
        Bytes packed(packedLength(n));
        ASSERT_EQ(packBytes(packed.data(), raw.data(), n), packedLength(n)) << n;
        for (auto b : packed) ASSERT_LT(b, 0x80) << n;

        Bytes back(unpackedLength(static_cast<std::int32_t>(packed.size())));
        ASSERT_EQ(unpackBytes(back.data(), packed.data(), static_cast<std::int32_t>(packed.size())),
                  n);
        ASSERT_EQ(back, raw) << n;
    }
}

TEST(Unpacking, ShortAndFlagOnlyGroups) {
    // A flag and six data bytes: exactly six bytes, the byte after dst untouched.
    const Bytes seven = {0x7F, 1, 2, 3, 4, 5, 6};
    std::array<std::uint8_t, 7> dst{};
    dst[6] = 0xAA;
    EXPECT_EQ(unpackBytes(dst.data(), seven.data(), 7), 6);
    EXPECT_EQ(dst, (std::array<std::uint8_t, 7>{0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0xAA}));

    // A trailing group of a lone flag byte yields nothing.
    const Bytes nine = {0x00, 1, 2, 3, 4, 5, 6, 7, 0x7F};
    Bytes out(unpackedLength(9));
    EXPECT_EQ(out.size(), 7u);
    EXPECT_EQ(unpackBytes(out.data(), nine.data(), 9), 7);
    EXPECT_EQ(out, (Bytes{1, 2, 3, 4, 5, 6, 7}));

    // Bit 7 of the flag is not a data bit.
    const Bytes flagTop = {0x80, 0x05};
    std::uint8_t one = 0;
    EXPECT_EQ(unpackBytes(&one, flagTop.data(), 2), 1);
    EXPECT_EQ(one, 0x05);
}

TEST(DataCrc, JamcrcCheckValues) {
    const auto crcOf = [](std::string_view s) {
        return dataCrc(reinterpret_cast<const std::uint8_t*>(s.data()),
                       static_cast<std::uint32_t>(s.size()));
    };
    EXPECT_EQ(crcOf(""), 0xFFFFFFFFu);
    EXPECT_EQ(crcOf("123456789"), 0x340BC6D9u);  // the complement of CRC-32's 0xCBF43926
    EXPECT_EQ(crcOf("abc"), 0xCADBBE3Du);
    EXPECT_EQ(crcOf(std::string_view("\0\0\0\0", 4)), 0xDEBB20E3u);
}

TEST(DataCrc, StepwiseEqualsWhole) {
    const Bytes raw = randomBytes(1000, 7);
    std::uint32_t crc = 0xFFFFFFFF;
    for (auto b : raw) crc = crcStep(crc, b);
    EXPECT_EQ(crc, dataCrc(raw.data(), 1000));
}

}  // namespace
}  // namespace q4m::engine
