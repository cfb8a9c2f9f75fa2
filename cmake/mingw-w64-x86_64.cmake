# Cross build of the Windows programs with mingw-w64 (Debian packages mingw-w64
# and g++-mingw-w64-x86-64-posix). The posix thread model gives std::thread and
# std::mutex; the runtime is linked statically, so the .exe files need no DLL
# beside them (under Wine or on Windows).
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TELMO_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TELMO_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TELMO_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TELMO_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TELMO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# ctest runs the test programs through Wine when it is there (Debian wine64).
if(EXISTS /usr/lib/wine/wine64)
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64 CACHE FILEPATH "Runs the Windows programs")
endif()
