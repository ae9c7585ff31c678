// Pulls the image files into the object as read-only data. The paths come from
// the build as Q4M_IMAGE_<id>_PATH; nothing is read at run time.
#include "engine/firmware/embedded_images.h"

#include <array>

// PE/COFF assemblers know no section stack: there the blobs go to .rdata and
// the assembler is put back into .text, where the compiler expects it.
#ifdef _WIN32
#define Q4M_RODATA_BEGIN ".section .rdata,\"dr\"\n"
#define Q4M_RODATA_END ".text\n"
#else
#define Q4M_RODATA_BEGIN ".pushsection .rodata\n"
#define Q4M_RODATA_END ".popsection\n"
#endif

// One labelled, 16-byte aligned blob per image, bounded by begin and end.
// clang-format off
#define Q4M_EMBED(id, path)                  \
    ".globl q4m_image_" #id "_begin\n"       \
    ".globl q4m_image_" #id "_end\n"         \
    ".balign 16\n"                           \
    "q4m_image_" #id "_begin:\n"             \
    ".incbin \"" path "\"\n"                 \
    "q4m_image_" #id "_end:\n"

__asm__(Q4M_RODATA_BEGIN
        Q4M_EMBED(129, Q4M_IMAGE_129_PATH)
        Q4M_EMBED(133, Q4M_IMAGE_133_PATH)
        Q4M_EMBED(139, Q4M_IMAGE_139_PATH)
        Q4M_EMBED(142, Q4M_IMAGE_142_PATH)
        Q4M_RODATA_END);
// clang-format on

extern "C" {
extern const std::uint8_t q4m_image_129_begin[], q4m_image_129_end[];
extern const std::uint8_t q4m_image_133_begin[], q4m_image_133_end[];
extern const std::uint8_t q4m_image_139_begin[], q4m_image_139_end[];
extern const std::uint8_t q4m_image_142_begin[], q4m_image_142_end[];
}

namespace q4m::firmware {

std::span<const EmbeddedImage> embeddedImages() {
    // Constant-initialised: safe to use from any static initialiser.
    static constexpr std::array<EmbeddedImage, 4> table{{
        {129, q4m_image_129_begin, q4m_image_129_end},
        {133, q4m_image_133_begin, q4m_image_133_end},
        {139, q4m_image_139_begin, q4m_image_139_end},
        {142, q4m_image_142_begin, q4m_image_142_end},
    }};
    return table;
}

}  // namespace q4m::firmware
