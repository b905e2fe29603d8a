# The Windows build (cmake/toolchain-*-w64-mingw32.cmake): the serial layer,
# the core and the client. Debian has no Qt 6 for Windows; the service comes
# later; the simulated meter is a Linux program (a pty).
set(QUORVAN_CONSOLE OFF)
set(QUORVAN_SERVICE OFF)
set(QUORVAN_BENCH OFF)

# mingw-w64 declares localtime_r only for POSIX sources. Windows 7 is the
# oldest API the programs call.
add_compile_definitions(_POSIX_C_SOURCE=200809L WIN32_LEAN_AND_MEAN NOMINMAX
                        _WIN32_WINNT=0x0601)

# CLI11 is headers only, installed by Debian for the build machine: its
# folder, not all of /usr/include, goes on the Windows include path.
if(NOT TARGET CLI11::CLI11)
    find_path(QUORVAN_CLI11_INCLUDE CLI/CLI.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH
              NO_DEFAULT_PATH REQUIRED)
    file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/cli11)
    file(CREATE_LINK ${QUORVAN_CLI11_INCLUDE}/CLI ${CMAKE_BINARY_DIR}/cli11/CLI SYMBOLIC)
    add_library(CLI11::CLI11 INTERFACE IMPORTED)
    target_include_directories(CLI11::CLI11 SYSTEM INTERFACE ${CMAKE_BINARY_DIR}/cli11)
endif()

# Tests run under Wine, with a prefix of this build's own.
if(CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
    set(CMAKE_CROSSCOMPILING_EMULATOR
        ${PROJECT_SOURCE_DIR}/scripts/wine-run ${PROJECT_BINARY_DIR}/wine)
endif()
