// The images the assembler embedded, as a table the image lookup searches.
#pragma once

#include <cstdint>
#include <span>

namespace q4m::firmware {

struct EmbeddedImage {
    int id;
    const std::uint8_t* begin;
    const std::uint8_t* end;
};

std::span<const EmbeddedImage> embeddedImages();

}  // namespace q4m::firmware
