# Cross build for 64-bit Windows (the test build, run under wine64 here).
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake \
#         -DTALVO_WINDOWS_DEPS=$(scripts/windows-deps --arch x86_64 --print-path) ...
set(TALVO_MINGW_TRIPLET x86_64-w64-mingw32)
set(TALVO_MINGW_ARCH x86_64)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake")
