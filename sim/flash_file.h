// Flash images on disk: read only from a regular file of the exact size, and
// written so that a reader never finds a half-written file.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace q4m::sim {

// Reads path into out when it is a regular file of exactly size bytes. At most
// size + 1 bytes are read, so a device such as /dev/zero or a huge file never
// fills memory, and a FIFO never blocks the open. On failure out is unchanged
// and *error says why in one line.
bool readExactFile(const std::string& path, std::size_t size, std::vector<std::uint8_t>& out,
                   std::string* error);

// Writes data to a new file beside path, flushes it to the disk and renames it
// over path: path holds either its old contents or the new ones, whatever
// happens in between. beforeRename is for tests: called once the new file is
// written and synced; returning false abandons the save there (the temporary
// file is removed, path untouched), as a failure at that point would.
bool writeFileAtomically(const std::string& path, std::span<const std::uint8_t> data,
                         std::string* error, const std::function<bool()>& beforeRename = {});

// Checks, changing nothing, that writeFileAtomically can replace path: path is
// a regular file or absent, and a file can be made in its folder. Empty when
// fine, else the reason in one line.
std::string checkReplaceable(const std::string& path);

}  // namespace q4m::sim
