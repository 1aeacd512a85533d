# Link rules of the handheld configuration (cmake/wince-armv7.cmake), read
# after CMake's platform files so that they replace the GNU driver's rules.
#
# lld-link directly, no default libraries. Windows CE GUI images are
# subsystem 9, which lld 14 does not know: link as windows,5.02, then set the
# field and the checksum (handheld/pe-subsystem.py), as the link's second step.
get_filename_component(_rx_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(_rx_subsystem "/usr/bin/python3 ${_rx_root}/handheld/pe-subsystem.py <TARGET>")
set(CMAKE_C_CREATE_WIN32_EXE "/subsystem:windows,5.02")
set(CMAKE_CXX_CREATE_WIN32_EXE "/subsystem:windows,5.02")
set(CMAKE_LINK_DEF_FILE_FLAG "/def:")
set(CMAKE_C_STANDARD_LIBRARIES_INIT "")
set(CMAKE_CXX_STANDARD_LIBRARIES_INIT "")
set(CMAKE_CXX_LINK_EXECUTABLE
    "${RX_LLD_LINK} /nologo /machine:arm /nodefaultlib <LINK_FLAGS> <OBJECTS> /out:<TARGET> <LINK_LIBRARIES>"
    "${_rx_subsystem}")
set(CMAKE_CXX_CREATE_SHARED_LIBRARY
    "${RX_LLD_LINK} /nologo /dll /machine:arm /nodefaultlib /subsystem:windows,5.02 <LINK_FLAGS> <OBJECTS> /out:<TARGET> /implib:<TARGET_IMPLIB> <LINK_LIBRARIES>"
    "${_rx_subsystem}")
