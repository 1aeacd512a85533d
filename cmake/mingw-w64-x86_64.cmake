# The 64-bit desktop build (x86_64), run under 64-bit Wine:
# RX_ARCH=x86_64 RX_BUILD=build-x86_64 scripts/test.sh
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
