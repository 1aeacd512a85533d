# Cross build for the Win32 wide-character API with Debian's mingw-w64, 32-bit
# (i686, posix thread model: GoogleTest needs std::mutex). The handheld is a
# 32-bit machine, so this is the desktop build closest to it: pointers,
# handles and structures have the handheld's sizes, and WINAPI is stdcall, so
# a call through a wrong declaration fails to link instead of running.
# Programs run under 32-bit Wine through scripts/winerun.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(TOOLCHAIN_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER   ${TOOLCHAIN_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOOLCHAIN_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER  ${TOOLCHAIN_PREFIX}-windres)
set(CMAKE_AR           /usr/bin/${TOOLCHAIN_PREFIX}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB       /usr/bin/${TOOLCHAIN_PREFIX}-ranlib CACHE FILEPATH "")
set(CMAKE_NM           /usr/bin/${TOOLCHAIN_PREFIX}-nm CACHE FILEPATH "")
set(CMAKE_DLLTOOL      /usr/bin/${TOOLCHAIN_PREFIX}-dlltool CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

get_filename_component(_rx_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${_rx_root}/scripts/winerun")
