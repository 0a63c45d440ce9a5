# Cross-building the Windows programs on Debian with mingw-w64:
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# The "-posix" compiler is the one whose runtime has std::thread and std::mutex. Every program
# is linked statically, so a downloader is one .exe that needs no DLL beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(fp_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${fp_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${fp_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${fp_mingw}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${fp_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# Release programs carry no symbols: a downloader is copied to every bench.
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")

# Tests (and anything else CMake runs of ours) go through Wine, in a prefix of the build tree.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)
