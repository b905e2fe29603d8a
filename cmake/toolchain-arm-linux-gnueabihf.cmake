# armhf (32-bit Raspberry Pi OS, Debian armhf: ARMv7 with hardware floating
# point) with Debian's cross toolchain:
# cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-arm-linux-gnueabihf.cmake
set(CMAKE_SYSTEM_PROCESSOR arm)
set(QUORVAN_CROSS_TRIPLET arm-linux-gnueabihf)
set(QUORVAN_CROSS_QEMU /usr/bin/qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
