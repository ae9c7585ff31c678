#include "engine/images.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <string_view>

#include "engine/flash_plan.h"

namespace q4m::engine {
namespace {

std::string textAt(const FirmwareImage& image, std::uint32_t offset, std::uint32_t n) {
    return std::string(reinterpret_cast<const char*>(image.bytes) + offset, n);
}

bool allFF(const std::uint8_t* p, std::size_t n) {
    return std::all_of(p, p + n, [](std::uint8_t b) { return b == 0xFF; });
}

struct ImageShape {
    int id;
    std::uint32_t size;
    int fullBlocks;
    std::uint32_t lastBlock;  // 0: no short last block
};

TEST(Images, SizesAndBlockCounts) {
    const ImageShape shapes[] = {
        {142, 143360, 35, 0},
        {133, 118784, 29, 0},
        {129, 488804, 119, 1380},
        {139, 4096, 1, 0},
    };
    for (const auto& s : shapes) {
        SCOPED_TRACE(s.id);
        auto image = findImage(s.id);
        ASSERT_TRUE(image);
        EXPECT_EQ(image->size, s.size);
        EXPECT_EQ(image->size / BlockSize, static_cast<std::uint32_t>(s.fullBlocks));
        EXPECT_EQ(image->size % BlockSize, s.lastBlock);
    }
}

TEST(Images, UnknownIdIsAbsent) {
    for (int id : {0, 128, 130, 140, 143, 65535, -1}) EXPECT_FALSE(findImage(id)) << id;
}

TEST(Images, LookupGivesTheSameStorageEveryTime) {
    auto a = findImage(129);
    auto b = findImage(129);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->bytes, b->bytes);
}

TEST(Images, BootAndVersionTails) {
    for (int id : {142, 133}) {
        SCOPED_TRACE(id);
        auto image = findImage(id);
        ASSERT_TRUE(image);
        EXPECT_EQ(textAt(*image, image->size - 4, 4), "1.00");
        // A run of erased bytes right before the stamp.
        EXPECT_TRUE(allFF(image->bytes + image->size - 4 - 64, 64));
        EXPECT_NE(image->bytes[image->size - 5 - 1024], 0xFF);
    }
    auto boot = findImage(BootImageId);
    ASSERT_TRUE(boot);
    EXPECT_EQ(textAt(*boot, BootStampAddress, 4), "1.00");

    auto sector = findImage(139);
    ASSERT_TRUE(sector);
    EXPECT_TRUE(allFF(sector->bytes, 0xFE0));
    EXPECT_EQ(textAt(*sector, 0xFE0, 4), "1.10");
    EXPECT_TRUE(allFF(sector->bytes + 0xFE4, 0xFF0 - 0xFE4));
    const std::string name = textAt(*sector, 0xFF0, 16);
    EXPECT_TRUE(std::all_of(name.begin(), name.end(), [](char c) { return c >= 0x20 && c < 0x7F; }))
        << name;
}

// The data blocks must tell themselves apart, so that a block written to the
// wrong address, shifted or taken from the wrong image shows in a comparison.
TEST(Images, BlocksAreDistinctAndNotErased) {
    std::set<std::string_view> seen;
    for (int id : {142, 133, 129}) {
        auto image = findImage(id);
        ASSERT_TRUE(image);
        for (std::uint32_t off = 0; off < image->size; off += BlockSize) {
            const std::uint32_t n = std::min<std::uint32_t>(BlockSize, image->size - off);
            const std::uint8_t* p = image->bytes + off;
            EXPECT_FALSE(allFF(p, n)) << id << " @" << off;
            EXPECT_TRUE(seen.emplace(reinterpret_cast<const char*>(p), n).second)
                << id << " @" << off;
            // Not a block that equals itself shifted by one byte.
            EXPECT_NE(std::memcmp(p, p + 1, n - 1), 0) << id << " @" << off;
        }
    }
}

}  // namespace
}  // namespace q4m::engine
