# Cross-building for 64-bit Windows with Debian's mingw-w64 (posix threads,
# so that std::thread and std::mutex work). LUMIFORD_WINDOWS_RAIZES lists the
# folders that hold the libraries and headers built or gathered for Windows
# (scripts/compilar_windows.sh passes OpenSSL's and a folder of headers).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${LUMIFORD_WINDOWS_RAIZES})
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES LUMIFORD_WINDOWS_RAIZES)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The build machine's .pc files describe Linux libraries.
set(ENV{PKG_CONFIG_LIBDIR} "/nonexistent")
set(ENV{PKG_CONFIG_PATH} "")

# The tests run under Wine (tests/windows/wine.sh keeps one prefix per build).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/windows/wine.sh)
