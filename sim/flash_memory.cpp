#include "sim/flash_memory.h"

#include <algorithm>

#include "sim/flash_file.h"

namespace q4m::sim {

bool FlashMemory::erase(std::uint32_t address, std::uint32_t size) {
    if (!inRange(address, size)) return false;
    std::fill_n(bytes_.begin() + address, size, Erased);
    return true;
}

bool FlashMemory::program(std::uint32_t address, std::span<const std::uint8_t> data, bool* clean) {
    if (!inRange(address, data.size())) return false;
    bool allClean = true;
    for (std::size_t i = 0; i < data.size(); ++i) {
        std::uint8_t& cell = bytes_[address + i];
        if ((cell & data[i]) != data[i]) allClean = false;
        cell &= data[i];
    }
    if (clean) *clean = allClean;
    return true;
}

bool FlashMemory::read(std::uint32_t address, std::uint32_t length,
                       std::vector<std::uint8_t>& out) const {
    if (!inRange(address, length)) return false;
    out.assign(bytes_.begin() + address, bytes_.begin() + address + length);
    return true;
}

void FlashMemory::overwrite(std::uint32_t address, std::span<const std::uint8_t> data) {
    if (!inRange(address, data.size())) return;
    std::copy(data.begin(), data.end(), bytes_.begin() + address);
}

bool FlashMemory::assign(std::span<const std::uint8_t> data) {
    if (data.size() != Size) return false;
    bytes_.assign(data.begin(), data.end());
    return true;
}

bool FlashMemory::load(const std::string& path, std::string* error) {
    return readExactFile(path, Size, bytes_, error);
}

bool FlashMemory::save(const std::string& path, std::string* error) const {
    return writeFileAtomically(path, bytes_, error);
}

}  // namespace q4m::sim
