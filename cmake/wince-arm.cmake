# The handheld build: the deliverables (rxconf.exe, rxboot.dll) as the
# Windows CE 5 / Windows Mobile 6 device runs them: ARMv4T code in ARM state
# (A32, no Thumb, no VFP or NEON), in Windows CE ARM images (machine 0x1C2,
# subsystem 9).
#
# Debian's clang has no Windows CE target, and its Windows ARM targets emit
# only Thumb-2 code: each source is compiled for the bare ARM EABI
# (armv4t-none-eabi) instead, with 2-byte wchar_t and int-sized enums as on
# Windows CE, against mingw-w64's declarations corrected by
# handheld/include/wince-sdk.h, and with the macros clang predefines for its
# Windows targets. Windows CE's ARM calling convention and the structures
# handed to the platform agree with the EABI's (a test compares the
# layouts). The link (cmake/wince-arm-rules.cmake, handheld/link-a32.sh)
# joins ld.lld and lld-link. No C runtime, no desktop DLL.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(RX_HANDHELD ON)

set(_rx_target armv4t-none-eabi)
set(CMAKE_C_COMPILER   clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_ASM_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET   ${_rx_target})
set(CMAKE_CXX_COMPILER_TARGET ${_rx_target})
set(CMAKE_RC_COMPILER  llvm-rc)
set(CMAKE_AR      /usr/bin/llvm-ar CACHE FILEPATH "")
set(CMAKE_RANLIB  /usr/bin/llvm-ranlib CACHE FILEPATH "")
set(CMAKE_NM      /usr/bin/llvm-nm CACHE FILEPATH "")
set(CMAKE_DLLTOOL /usr/bin/llvm-dlltool CACHE FILEPATH "")

# The code the device's core runs, and the Windows ABI where the EABI's
# defaults differ. -ffreestanding and -fno-builtin: no C library but
# coredll's; no unwinding tables (no C++ runtime to read them).
set(_rx_code_flags "-marm -mcpu=arm7tdmi -mfloat-abi=soft -fshort-wchar -fno-short-enums \
-ffreestanding -fno-builtin -fno-unwind-tables -fno-asynchronous-unwind-tables \
-fno-threadsafe-statics -fno-common -fms-extensions")
# What clang predefines for its Windows targets, and Microsoft's keywords:
# Windows CE on ARM has one calling convention, and its import libraries
# bind by plain name.
set(_rx_windows_macros "-D_WIN32 -DWIN32 -DWINNT -D_ARM_ -D__MINGW32__ -D__MSVCRT__ \
'-D__declspec(x)=__attribute__((x))' -D__stdcall= -D__cdecl= -D__fastcall= -D__thiscall= \
-Ddllimport= -Ddllexport= -D_cdecl= -D_stdcall= -D__unaligned=")
set(CMAKE_C_FLAGS_INIT   "${_rx_code_flags} ${_rx_windows_macros}")
set(CMAKE_CXX_FLAGS_INIT "${_rx_code_flags} ${_rx_windows_macros}")

# mingw-w64's headers, without its libraries or start-up files.
set(CMAKE_C_STANDARD_INCLUDE_DIRECTORIES   /usr/share/mingw-w64/include)
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES /usr/share/mingw-w64/include)
set(CMAKE_RC_STANDARD_INCLUDE_DIRECTORIES  /usr/share/mingw-w64/include)

# Nothing links without the handheld's import libraries, which the build
# makes: probe the compilers with a library, not a program.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# The link and resource rules, which must come after CMake's own platform
# files: cmake/wince-arm-rules.cmake.
get_filename_component(_rx_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_USER_MAKE_RULES_OVERRIDE ${_rx_root}/cmake/wince-arm-rules.cmake)
