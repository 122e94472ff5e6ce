# Cross-builds the Windows (x86-64) programs with Debian's mingw-w64 (the POSIX-thread flavour,
# which gives std::thread, std::mutex and std::condition_variable), statically linked so that
# the executables run on a bare Windows and under wine with no DLL paths.
#
# The libraries the gateway needs beyond the compiler's own (OpenSSL, pugixml, GoogleTest) come
# from the sysroot that scripts/win-deps.sh fills: GW_WIN_SYSROOT, or the environment variable
# of that name, or ~/.cache/gateway-win/sysroot.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(GW_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${GW_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${GW_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${GW_MINGW_PREFIX}-windres)
set(CMAKE_AR ${GW_MINGW_PREFIX}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${GW_MINGW_PREFIX}-gcc-ranlib-posix CACHE FILEPATH "")

if(NOT GW_WIN_SYSROOT)
  if(DEFINED ENV{GW_WIN_SYSROOT} AND NOT "$ENV{GW_WIN_SYSROOT}" STREQUAL "")
    set(GW_WIN_SYSROOT "$ENV{GW_WIN_SYSROOT}")
  else()
    set(GW_WIN_SYSROOT "$ENV{HOME}/.cache/gateway-win/sysroot")
  endif()
endif()
# try_compile projects read this file again: hand them the same sysroot.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES GW_WIN_SYSROOT)

# GW_WIN_QT: the Qt of scripts/win-qt.sh, for the operator console (left out without it).
# Its build tools (moc, uic, rcc) are this machine's own Qt of the same version.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES GW_WIN_QT)
set(CMAKE_FIND_ROOT_PATH /usr/${GW_MINGW_PREFIX} ${GW_WIN_SYSROOT} ${GW_WIN_QT})
set(CMAKE_PREFIX_PATH ${GW_WIN_SYSROOT} ${GW_WIN_QT})
if(GW_WIN_QT)
  set(QT_HOST_PATH /usr)
  execute_process(COMMAND dpkg-architecture -qDEB_HOST_MULTIARCH
                  OUTPUT_VARIABLE GW_HOST_MULTIARCH OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(QT_HOST_PATH_CMAKE_DIR /usr/lib/${GW_HOST_MULTIARCH}/cmake)
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static everything: the C and C++ runtimes and winpthread go into each executable.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(OPENSSL_USE_STATIC_LIBS TRUE)

# Test programs and any built tool run under wine (its 64-bit loader).
find_program(GW_WINE NAMES wine wine64 wine-stable)
if(GW_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${GW_WINE})
endif()
