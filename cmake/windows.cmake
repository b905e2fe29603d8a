# The Windows build (cmake/toolchain-*-w64-mingw32.cmake): the serial layer,
# the core, the client and the service. Debian has no Qt 6 for Windows; the
# simulated meter is a Linux program (a pty).
set(QUORVAN_CONSOLE OFF)
set(QUORVAN_BENCH OFF)

# mingw-w64 declares localtime_r only for POSIX sources. Windows 7 is the
# oldest API the programs call.
add_compile_definitions(_POSIX_C_SOURCE=200809L WIN32_LEAN_AND_MEAN NOMINMAX
                        _WIN32_WINNT=0x0601)

# Header libraries that Debian installs for the build machine: the folder
# `name` of /usr/include, not all of it, goes on the Windows include path.
function(quorvan_host_headers target name)
    find_path(QUORVAN_${name}_INCLUDE ${name} PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH
              NO_DEFAULT_PATH REQUIRED)
    file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/host-headers/${name})
    file(CREATE_LINK ${QUORVAN_${name}_INCLUDE}/${name}
         ${CMAKE_BINARY_DIR}/host-headers/${name}/${name} SYMBOLIC)
    add_library(${target} INTERFACE IMPORTED)
    target_include_directories(${target} SYSTEM INTERFACE
                               ${CMAKE_BINARY_DIR}/host-headers/${name})
endfunction()

# CLI11 is headers only.
if(NOT TARGET CLI11::CLI11)
    quorvan_host_headers(CLI11::CLI11 CLI)
endif()
# toml++ too, once told so: Debian's package also builds it as a Linux
# library, whose headers then only declare.
if(NOT TARGET tomlplusplus::tomlplusplus)
    quorvan_host_headers(tomlplusplus::tomlplusplus toml++)
    target_compile_definitions(tomlplusplus::tomlplusplus INTERFACE TOML_HEADER_ONLY=1)
endif()
# cpp-httplib is headers only as its authors ship it, but Debian's package
# is a compiled Linux library. Its Debian source, with Debian's patches, is
# what the Windows service builds on: scripts/debian-source fetches it once,
# with apt, from the archive that this machine installs its packages
# (mingw-w64 among them) from.
# QUORVAN_DEBIAN_SOURCES lets builds share it (scripts/test-windows).
set(QUORVAN_DEBIAN_SOURCES ${CMAKE_BINARY_DIR}/debian-source
    CACHE PATH "Where Debian source packages for the Windows build are kept")
if(QUORVAN_SERVICE AND NOT TARGET quorvan::httplib)
    execute_process(
        COMMAND ${PROJECT_SOURCE_DIR}/scripts/debian-source cpp-httplib
                ${QUORVAN_DEBIAN_SOURCES}
        OUTPUT_VARIABLE QUORVAN_HTTPLIB_SOURCE OUTPUT_STRIP_TRAILING_WHITESPACE
        RESULT_VARIABLE fetched)
    if(NOT fetched EQUAL 0 OR NOT EXISTS ${QUORVAN_HTTPLIB_SOURCE}/httplib.h)
        message(FATAL_ERROR "the Windows service needs cpp-httplib's Debian source "
                            "(above); or configure with -DQUORVAN_SERVICE=OFF")
    endif()
    file(READ ${QUORVAN_HTTPLIB_SOURCE}.version version)
    string(STRIP "${version}" version)
    message(STATUS "cpp-httplib ${version} from its Debian source: ${QUORVAN_HTTPLIB_SOURCE}")
    add_library(quorvan::httplib INTERFACE IMPORTED)
    target_include_directories(quorvan::httplib SYSTEM INTERFACE ${QUORVAN_HTTPLIB_SOURCE})
    target_link_libraries(quorvan::httplib INTERFACE ws2_32)
endif()

# Tests run under Wine, with a prefix of this build's own.
if(CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
    set(CMAKE_CROSSCOMPILING_EMULATOR
        ${PROJECT_SOURCE_DIR}/scripts/wine-run ${PROJECT_BINARY_DIR}/wine)
endif()
