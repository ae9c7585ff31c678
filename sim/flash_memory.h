// The device's 1 MiB NOR flash: erasing sets bytes to 0xFF, programming can
// only clear bits, so data written over unerased flash comes out visibly wrong.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace q4m::sim {

class FlashMemory {
  public:
    static constexpr std::uint32_t Size = 0x100000;
    static constexpr std::uint8_t Erased = 0xFF;

    FlashMemory() : bytes_(Size, Erased) {}

    // True when [address, address + length) lies inside the flash.
    static bool inRange(std::uint64_t address, std::uint64_t length) {
        return address <= Size && length <= Size - address;
    }

    // Each returns false, changing nothing, when the range leaves the flash.
    bool erase(std::uint32_t address, std::uint32_t size);
    // NOR programming: every byte becomes old AND new. *clean is false when
    // some bit had to go from 0 to 1, i.e. the target was not erased.
    bool program(std::uint32_t address, std::span<const std::uint8_t> data, bool* clean = nullptr);
    bool read(std::uint32_t address, std::uint32_t length, std::vector<std::uint8_t>& out) const;

    // Factory access: plain overwrite, no NOR rule (used to stamp or preload).
    void overwrite(std::uint32_t address, std::span<const std::uint8_t> data);
    const std::vector<std::uint8_t>& bytes() const { return bytes_; }
    // Whole images only: false unless data is exactly Size bytes.
    bool assign(std::span<const std::uint8_t> data);

    // Files hold the whole flash, exactly Size bytes, raw; saved atomically.
    bool load(const std::string& path, std::string* error);
    bool save(const std::string& path, std::string* error) const;

  private:
    std::vector<std::uint8_t> bytes_;
};

}  // namespace q4m::sim
