# What both Windows toolchain files share; QUORVAN_MINGW_TRIPLET names the
# target. The programs stand alone: libgcc, libstdc++ and winpthread are
# linked in statically, so a Windows machine needs no DLL beside them.
# Tests run under Wine (CMAKE_CROSSCOMPILING_EMULATOR, set by the project
# to scripts/wine-run with a prefix in the build folder).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${QUORVAN_MINGW_TRIPLET})
set(CMAKE_C_COMPILER ${QUORVAN_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUORVAN_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QUORVAN_MINGW_TRIPLET}-windres)
set(CMAKE_STRIP ${QUORVAN_MINGW_TRIPLET}-strip)
set(CMAKE_FIND_ROOT_PATH /usr/${QUORVAN_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
