# Cross build for 64-bit Windows with Debian's MinGW-w64 compilers:
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CLAVORA_MINGW_PREFIX x86_64-w64-mingw32)

# The -posix variants carry std::thread and std::mutex; the -win32 variants
# (which the unsuffixed names may point to) do not.
set(CMAKE_C_COMPILER   ${CLAVORA_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CLAVORA_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER  ${CLAVORA_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${CLAVORA_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Everything static: no libgcc, libstdc++ or winpthread DLL beside the
# binaries, only system DLLs in their import lists.
set(CMAKE_EXE_LINKER_FLAGS_INIT    "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# ctest runs the Windows programs through Wine.
find_program(CLAVORA_WINE wine PATHS /usr/bin NO_CMAKE_FIND_ROOT_PATH)
if(CLAVORA_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CLAVORA_WINE})
endif()
