# Cross-compiling for Windows with Debian's MinGW-w64. The posix thread model
# gives the C++ thread library; everything links statically (see
# ProjectDefaults.cmake), so no winpthread or libstdc++ DLL is needed at run time.
# MINGW_TRIPLE is i686-w64-mingw32 or x86_64-w64-mingw32.
set(CMAKE_SYSTEM_NAME Windows)
if(NOT MINGW_TRIPLE)
  set(MINGW_TRIPLE "$ENV{MINGW_TRIPLE}")
endif()
# try_compile projects read this file again and need the triple too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MINGW_TRIPLE)
if(MINGW_TRIPLE MATCHES "^i686")
  set(CMAKE_SYSTEM_PROCESSOR x86)
else()
  set(CMAKE_SYSTEM_PROCESSOR AMD64)
endif()
set(CMAKE_C_COMPILER ${MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
