// Every program's --version line: its name, the project's version and the
// build type, as CMake configured them (target q4m_build_info).
#pragma once

#include <string>
#include <string_view>

#ifndef Q4M_VERSION
#define Q4M_VERSION "0.0.0"
#endif
#ifndef Q4M_BUILD_TYPE
#define Q4M_BUILD_TYPE ""
#endif

namespace q4m::tools {

// "q4m-devsim 1.10.0 (Release build)".
inline std::string versionLine(std::string_view program) {
    const std::string_view type = Q4M_BUILD_TYPE;
    return std::string(program) + " " + Q4M_VERSION + " (" +
           (type.empty() ? std::string("no build type") : std::string(type) + " build") + ")";
}

}  // namespace q4m::tools
