# Builds the Windows Installer package of BUILD_DIR twice into DEST: at the
# tree's VERSION and at HIGHER_VERSION, the newer release an upgrade brings.
foreach(version ${VERSION} ${HIGHER_VERSION})
  set(output ${DEST}/tif-printer-agent-${version}-${ARCH}.msi)
  execute_process(COMMAND ${CMAKE_COMMAND} -DARCH=${ARCH} -DVERSION=${version}
                          -DBIN_DIR=${BIN_DIR} -DGUIDE=${GUIDE} -DOUTPUT=${output}
                          -P ${WIXL_SCRIPT}
                  RESULT_VARIABLE result)
  if(result)
    message(FATAL_ERROR "could not build ${output}")
  endif()
  message(STATUS "built ${output}")
endforeach()
