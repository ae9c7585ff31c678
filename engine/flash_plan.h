// Programming the device's flash: the boot-stamp check, then the fixed plan of
// erases and block writes with their retries.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "engine/engine.h"

namespace q4m::engine {

enum class StepKind : std::uint32_t { Erase = 1, Write = 2 };

struct FlashStep {
    StepKind kind;
    std::uint32_t address;
    std::uint32_t size;  // erase: bytes; write: bytes of the image, 0 = the whole image
    std::uint32_t imageId;
};

inline constexpr std::array<FlashStep, 8> FlashPlan{{
    {StepKind::Erase, 0xDF000, 0x1000, 0},
    {StepKind::Erase, 0x23000, 0x1D000, 0},
    {StepKind::Write, 0x23000, 0, 133},
    {StepKind::Erase, 0x00000, 0x23000, 0},
    {StepKind::Write, 0x00000, 0, 142},
    {StepKind::Erase, 0x40000, 0x9F000, 0},
    {StepKind::Write, 0x40000, 0, 129},
    {StepKind::Write, 0xDF000, 0, 139},
}};

inline constexpr std::int32_t BlockSize = 4096;
inline constexpr int MaxEraseErrors = 6;   // the 7th error reply in a row ends the step
inline constexpr int MaxBlockFailures = 31;  // the 32nd failure of one block ends the step

// 0 when every row is done; -1 when the run stops (already reported, or cancelled).
int runFlashPlan(Engine& engine);
int runFlashPlan(Engine& engine, std::span<const FlashStep> plan);

int eraseRegion(Engine& engine, std::uint32_t address, std::uint32_t size);
int writeImage(Engine& engine, std::uint32_t address, std::uint32_t size, std::uint32_t imageId);

}  // namespace q4m::engine
