# arm64 (64-bit Raspberry Pi OS, Debian arm64) with Debian's cross
# toolchain: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(QUORVAN_CROSS_TRIPLET aarch64-linux-gnu)
set(QUORVAN_CROSS_QEMU /usr/bin/qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
