# The handheld build: the deliverables (rxconf.exe, rxboot.dll) compiled for
# 32-bit ARM Windows with Debian's clang and linked with lld-link, against
# mingw-w64's declarations corrected by handheld/include/wince-sdk.h and
# against import libraries of the handheld's own DLLs (coredll, aygshell,
# KTAPI) made at build time. No C runtime, no desktop DLL. The images are
# checked, never run: nothing here loads Windows CE programs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(RX_HANDHELD ON)

set(_rx_target armv7-w64-windows-gnu)
set(CMAKE_C_COMPILER   clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET   ${_rx_target})
set(CMAKE_CXX_COMPILER_TARGET ${_rx_target})
set(CMAKE_RC_COMPILER  llvm-rc)
set(CMAKE_AR      /usr/bin/llvm-ar CACHE FILEPATH "")
set(CMAKE_RANLIB  /usr/bin/llvm-ranlib CACHE FILEPATH "")
set(CMAKE_NM      /usr/bin/llvm-nm CACHE FILEPATH "")
set(CMAKE_DLLTOOL /usr/bin/llvm-dlltool CACHE FILEPATH "")
set(RX_LLD_LINK   lld-link)

# mingw-w64's headers, without its libraries or start-up files.
set(CMAKE_C_STANDARD_INCLUDE_DIRECTORIES   /usr/share/mingw-w64/include)
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES /usr/share/mingw-w64/include)
set(CMAKE_RC_STANDARD_INCLUDE_DIRECTORIES  /usr/share/mingw-w64/include)

# Nothing links without the handheld's import libraries, which the build
# makes: probe the compilers with a library, not a program.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# The link and resource rules, which must come after CMake's own platform
# files: cmake/wince-armv7-rules.cmake.
get_filename_component(_rx_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_USER_MAKE_RULES_OVERRIDE ${_rx_root}/cmake/wince-armv7-rules.cmake)
