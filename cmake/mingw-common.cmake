# Shared part of mingw-i686.cmake and mingw-x86_64.cmake; they set TALVO_MINGW_TRIPLET
# and TALVO_MINGW_ARCH first.
#
# TALVO_WINDOWS_DEPS is the cache folder that scripts/windows-deps built for this arch
# (printed at its end, or by `scripts/windows-deps --arch ARCH --print-path`); pass it as
# -DTALVO_WINDOWS_DEPS=... or in the environment.
set(CMAKE_SYSTEM_NAME Windows)

# try_compile projects read this file again without the cache, so the path also travels
# in the environment and the platform variables.
if(NOT TALVO_WINDOWS_DEPS AND DEFINED ENV{TALVO_WINDOWS_DEPS})
  set(TALVO_WINDOWS_DEPS "$ENV{TALVO_WINDOWS_DEPS}")
endif()
if(NOT TALVO_WINDOWS_DEPS OR NOT EXISTS "${TALVO_WINDOWS_DEPS}/stamp")
  message(FATAL_ERROR
    "TALVO_WINDOWS_DEPS='${TALVO_WINDOWS_DEPS}' is not a complete dependency cache. "
    "Run scripts/windows-deps --arch ${TALVO_MINGW_ARCH} and pass "
    "-DTALVO_WINDOWS_DEPS=$(scripts/windows-deps --arch ${TALVO_MINGW_ARCH} --print-path)")
endif()
# A cache of the other arch links only at the very end, with a confusing error.
file(STRINGS "${TALVO_WINDOWS_DEPS}/key.txt" _talvo_deps_arch REGEX "^arch=")
if(NOT _talvo_deps_arch STREQUAL "arch=${TALVO_MINGW_ARCH}")
  message(FATAL_ERROR "${TALVO_WINDOWS_DEPS} was built for '${_talvo_deps_arch}', not ${TALVO_MINGW_ARCH}")
endif()
set(ENV{TALVO_WINDOWS_DEPS} "${TALVO_WINDOWS_DEPS}")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TALVO_WINDOWS_DEPS)

# The posix thread model by name: the unsuffixed names follow update-alternatives and may
# be win32 threads, which lack std::thread and do not match how Qt was built.
set(CMAKE_C_COMPILER ${TALVO_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TALVO_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TALVO_MINGW_TRIPLET}-windres)

# Libraries, headers and CMake packages come only from the cache and mingw's own sysroot,
# never from the Linux host; programs (moc, uic, rcc, lrelease) do run on the host.
set(CMAKE_FIND_ROOT_PATH
  "${TALVO_WINDOWS_DEPS}/qt"
  "${TALVO_WINDOWS_DEPS}/openssl"
  "${TALVO_WINDOWS_DEPS}"
  "/usr/${TALVO_MINGW_TRIPLET}")
set(CMAKE_PREFIX_PATH "${TALVO_WINDOWS_DEPS}/qt" "${TALVO_WINDOWS_DEPS}/openssl")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Only static OpenSSL is built; FindOpenSSL then also adds the Windows libraries it needs.
set(OPENSSL_ROOT_DIR "${TALVO_WINDOWS_DEPS}/openssl")
set(OPENSSL_USE_STATIC_LIBS TRUE)
