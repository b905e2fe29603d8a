# Shared by the toolchain files of Debian's cross toolchains: include it
# after setting QUORVAN_CROSS_TRIPLET (e.g. aarch64-linux-gnu) and
# CMAKE_SYSTEM_PROCESSOR. Compilers from crossbuild-essential-<arch>,
# libraries from the :<arch> multiarch packages (found in
# /usr/lib/<triplet> through CMAKE_LIBRARY_ARCHITECTURE, which CMake takes
# from the compiler), programs of the target run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${QUORVAN_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${QUORVAN_CROSS_TRIPLET}-g++)
# pkgconf:<arch> provides the wrapper that reads that architecture's .pc files.
set(PKG_CONFIG_EXECUTABLE /usr/bin/${QUORVAN_CROSS_TRIPLET}-pkg-config CACHE FILEPATH "")
# Runs tests (ctest, gtest discovery) and build-time programs (the icon
# scaler) of the target architecture.
set(CMAKE_CROSSCOMPILING_EMULATOR ${QUORVAN_CROSS_QEMU})

# Qt's CMake files take moc, rcc and uic from the build machine's Qt.
execute_process(COMMAND dpkg-architecture -qDEB_BUILD_MULTIARCH
                OUTPUT_VARIABLE quorvan_build_multiarch OUTPUT_STRIP_TRAILING_WHITESPACE)
set(QT_HOST_PATH /usr CACHE PATH "")
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/${quorvan_build_multiarch}/cmake CACHE PATH "")

# g++ notes on every std::vector of 64-bit values that armhf code passing
# changed in GCC 7.1: nothing to act on for a program built in one piece.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
