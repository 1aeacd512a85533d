# Link rules of the handheld configuration (cmake/wince-arm.cmake), read
# after CMake's platform files so that they replace the GNU driver's rules.
# Every image is linked by handheld/link-a32.sh: ld.lld for the A32 code,
# lld-link for the image, then the mends of handheld/pe-mend.py.
get_filename_component(_rx_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(_rx_link "/bin/bash ${_rx_root}/handheld/link-a32.sh --tools ${_rx_root}/handheld \
--importlibs ${CMAKE_BINARY_DIR}/handheld --work ${CMAKE_BINARY_DIR}/handheld/link")
set(CMAKE_C_CREATE_WIN32_EXE "")
set(CMAKE_CXX_CREATE_WIN32_EXE "")
set(CMAKE_LINK_DEF_FILE_FLAG "/def:")
set(CMAKE_C_STANDARD_LIBRARIES_INIT "")
set(CMAKE_CXX_STANDARD_LIBRARIES_INIT "")
set(CMAKE_CXX_LINK_EXECUTABLE "${_rx_link} <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")
set(CMAKE_CXX_CREATE_SHARED_LIBRARY
    "${_rx_link} /dll <LINK_FLAGS> <OBJECTS> -o <TARGET> --implib <TARGET_IMPLIB> <LINK_LIBRARIES>")
