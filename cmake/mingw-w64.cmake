# Cross-build for 64-bit Windows with Debian's MinGW-w64 (posix threads) against the static Qt of the
# Windows SDK (scripts/windows-sdk.sh). The SDK's prefix: -DSTABLOMAT_WINDOWS_SDK=..., else the
# environment's STABLOMAT_WINDOWS_SDK (the cache folder) + /prefix, else ~/.cache/stablomat/windows-sdk/prefix.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(_triple x86_64-w64-mingw32)

find_program(CMAKE_C_COMPILER NAMES ${_triple}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${_triple}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${_triple}-windres REQUIRED)
find_program(STABLOMAT_DLLTOOL NAMES ${_triple}-dlltool)

if(NOT STABLOMAT_WINDOWS_SDK)
  if(DEFINED ENV{STABLOMAT_WINDOWS_SDK})
    set(STABLOMAT_WINDOWS_SDK "$ENV{STABLOMAT_WINDOWS_SDK}/prefix")
  else()
    set(STABLOMAT_WINDOWS_SDK "$ENV{HOME}/.cache/stablomat/windows-sdk/prefix")
  endif()
endif()
set(STABLOMAT_WINDOWS_SDK "${STABLOMAT_WINDOWS_SDK}" CACHE PATH "Prefix of the static Qt for Windows")
# try_compile projects see the same SDK.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES STABLOMAT_WINDOWS_SDK)

set(CMAKE_FIND_ROOT_PATH ${STABLOMAT_WINDOWS_SDK} /usr/${_triple})
set(CMAKE_PREFIX_PATH ${STABLOMAT_WINDOWS_SDK})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config finds the SDK's libsodium, never the host's libraries.
set(ENV{PKG_CONFIG_LIBDIR} "${STABLOMAT_WINDOWS_SDK}/lib/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
set(ENV{PKG_CONFIG_PATH} "")

# Windows programs run here under Wine (tests, try_run).
find_program(STABLOMAT_WINE NAMES wine)
if(STABLOMAT_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${STABLOMAT_WINE})
endif()
