# Cross build for 64-bit Windows with Debian's MinGW-w64, the posix thread variant (its
# std::thread, std::mutex and std::condition_variable work; the win32 variant of gcc 12 has no
# std::thread). Programs are linked statically: one .exe that needs no DLL beside it.
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(PELLORIN_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${PELLORIN_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PELLORIN_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${PELLORIN_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${PELLORIN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libgcc, libstdc++ and winpthread inside the program.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# ctest runs the test programs under Wine when it is there.
find_program(PELLORIN_WINE wine)
if(PELLORIN_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PELLORIN_WINE})
endif()
