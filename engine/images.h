// The firmware images the updater writes, embedded read-only at build time.
#pragma once

#include <cstdint>
#include <optional>

namespace q4m::engine {

struct FirmwareImage {
    const std::uint8_t* bytes;  // valid for the whole program run; never copied
    std::uint32_t size;
};

// Ids of the embedded images.
inline constexpr int BootImageId = 142;
inline constexpr std::uint32_t BootStampAddress = 0x22FFC;  // last four bytes of the boot region

// The image with this id, or nothing when the program holds no such image.
std::optional<FirmwareImage> findImage(int id);

}  // namespace q4m::engine
