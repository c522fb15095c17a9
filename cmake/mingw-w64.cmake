# Cross-compiles for 64-bit Windows with the MinGW-w64 toolchain (POSIX
# thread model, so that std::thread works in the tests). Test programs run
# through Wine, which ctest and test discovery use as the emulator.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(VORLIX_WINE NAMES wine)
if(VORLIX_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VORLIX_WINE})
endif()

# pkg-config sees only packages built for the target, never the host's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/${MINGW_PREFIX}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
