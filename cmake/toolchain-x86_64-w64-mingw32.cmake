# 64-bit Windows with Debian's mingw-w64 (POSIX threads: std::thread and
# std::mutex need them with GCC 12):
#   cmake -S . -B build-windows-x86_64 \
#         -DCMAKE_TOOLCHAIN_FILE=$PWD/cmake/toolchain-x86_64-w64-mingw32.cmake
set(QUORVAN_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
