# The 32-bit desktop build (i686), the default. The handheld is a 32-bit
# machine, so this is the desktop build closest to it: pointers, handles and
# structures have the handheld's sizes, and WINAPI is stdcall, so a call
# through a wrong declaration fails to link instead of running. Programs run
# under 32-bit Wine.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TOOLCHAIN_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
