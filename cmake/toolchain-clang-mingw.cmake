# The second compiler: Debian's clang for the same MinGW-w64 targets, with the
# MinGW GCC's C++ headers and runtime libraries (posix thread model), so that
# code only GCC accepts cannot land. MINGW_TRIPLE as in toolchain-mingw.cmake.
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${MINGW_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${MINGW_TRIPLE})
file(GLOB _mingw_gcc_dirs LIST_DIRECTORIES true /usr/lib/gcc/${MINGW_TRIPLE}/*-posix)
list(SORT _mingw_gcc_dirs)
list(GET _mingw_gcc_dirs -1 _mingw_gcc)
if(NOT IS_DIRECTORY "${_mingw_gcc}/include/c++")
  message(FATAL_ERROR "no MinGW GCC (posix) C++ headers for ${MINGW_TRIPLE} under /usr/lib/gcc")
endif()
set(_cxx_headers "${_mingw_gcc}/include/c++")
set(CMAKE_CXX_FLAGS_INIT
    "-isystem ${_cxx_headers} -isystem ${_cxx_headers}/${MINGW_TRIPLE} -isystem ${_cxx_headers}/backward")
# -pthread puts the thread library after libstdc++ on the link line.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-L${_mingw_gcc} -pthread")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-L${_mingw_gcc} -pthread")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-L${_mingw_gcc} -pthread")
