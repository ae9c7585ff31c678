# Windows builds (cross-built with cmake/mingw-w64-x86_64.cmake): GoogleTest
# compiled from Debian's source package, since no Windows binaries of it
# exist in Debian; its own build defines the GTest:: names find_package gives.
set(Q4M_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources (Debian package googletest)")
if(NOT EXISTS ${Q4M_GTEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest sources not found in ${Q4M_GTEST_SOURCE} (apt-get install googletest)")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(${Q4M_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# Resources (dialog templates, strings, icon, manifest, firmware) are compiled
# into each executable that needs them: windres objects inside a static
# library are never linked in.
enable_language(RC)

# CLI11 is header-only, but its package points at /usr/include, whose C
# headers are the build machine's: give the cross build the CLI/ folder alone.
# (Defined first, the package's own config then keeps this target.)
set(Q4M_CLI11_HEADERS /usr/include/CLI CACHE PATH "CLI11's headers (Debian package libcli11-dev)")
if(EXISTS ${Q4M_CLI11_HEADERS}/CLI.hpp)
    file(COPY ${Q4M_CLI11_HEADERS} DESTINATION ${CMAKE_BINARY_DIR}/cli11/include)
    add_library(CLI11::CLI11 INTERFACE IMPORTED GLOBAL)
    set_target_properties(CLI11::CLI11 PROPERTIES
        INTERFACE_INCLUDE_DIRECTORIES ${CMAKE_BINARY_DIR}/cli11/include)
endif()
