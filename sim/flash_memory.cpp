#include "sim/flash_memory.h"

#include <algorithm>
#include <fstream>

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
    auto fail = [&](std::string text) {
        if (error) *error = std::move(text);
        return false;
    };
    std::ifstream in(path, std::ios::binary);
    if (!in) return fail("cannot open " + path);
    // Read one byte more than the flash holds so that a longer file is caught.
    std::vector<std::uint8_t> data(Size + 1);
    in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size()));
    if (in.bad()) return fail("cannot read " + path);
    const auto got = static_cast<std::size_t>(in.gcount());
    if (got != Size)
        return fail(path + " holds " +
                    (got > Size ? "more than " + std::to_string(Size) : std::to_string(got)) +
                    " bytes; a flash file holds exactly " + std::to_string(Size));
    data.resize(Size);
    bytes_ = std::move(data);
    return true;
}

bool FlashMemory::save(const std::string& path, std::string* error) const {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (out) out.write(reinterpret_cast<const char*>(bytes_.data()), Size);
    if (out) out.flush();
    if (!out) {
        if (error) *error = "cannot write " + path;
        return false;
    }
    return true;
}

}  // namespace q4m::sim
