# Test programs are Windows programs: CTest runs them through the Wine harness,
# in one throwaway prefix shared by the x86 and x64 build trees.
get_filename_component(_build_root "${CMAKE_BINARY_DIR}/.." ABSOLUTE)
set(WINE_PREFIX "${_build_root}/wineprefix" CACHE PATH "Wine prefix the tests run in")
set(CMAKE_CROSSCOMPILING_EMULATOR "${PROJECT_SOURCE_DIR}/tests/harness/wine-exec.sh;${WINE_PREFIX}")

# add_wine_test(<target> [TIMEOUT seconds] [ARGS ...]): one CTest test per program,
# named after the target.
function(add_wine_test target)
  cmake_parse_arguments(T "" "TIMEOUT" "ARGS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_test(NAME ${target} COMMAND ${target} ${T_ARGS})
  set_tests_properties(${target} PROPERTIES TIMEOUT ${T_TIMEOUT})
endfunction()
