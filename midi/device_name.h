// Copies a platform device name into a port's fixed name buffer.
#pragma once

#include <string>

namespace q4m::midi {

// Writes at most maxLength bytes of name, NUL-terminated, into out (which holds
// maxLength + 1 bytes or more). The cut never falls inside a UTF-8 multibyte
// character, so a long name still shows as valid text.
void copyDeviceName(const std::string& name, char* out, int maxLength);

}  // namespace q4m::midi
