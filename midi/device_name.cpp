#include "midi/device_name.h"

#include <cstring>

namespace q4m::midi {

void copyDeviceName(const std::string& name, char* out, int maxLength) {
    std::size_t length = std::strlen(name.c_str());  // a name ends at an embedded NUL
    if (length > static_cast<std::size_t>(maxLength)) {
        length = static_cast<std::size_t>(maxLength);
        // Back off over continuation bytes (10xxxxxx) so the cut lands before
        // the lead byte of the character it would otherwise split.
        while (length > 0 && (static_cast<unsigned char>(name[length]) & 0xC0) == 0x80) --length;
    }
    std::memcpy(out, name.data(), length);
    out[length] = '\0';
}

}  // namespace q4m::midi
