# Cross build for 32-bit Windows (the product).
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
#         -DTALVO_WINDOWS_DEPS=$(scripts/windows-deps --arch i686 --print-path) ...
set(TALVO_MINGW_TRIPLET i686-w64-mingw32)
set(TALVO_MINGW_ARCH i686)
set(CMAKE_SYSTEM_PROCESSOR x86)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake")
