# Builds the release zip of BUILD_DIR and unpacks its contents, without the
# zip's top folder, into DEST/package.
file(REMOVE_RECURSE ${BUILD_DIR}/packages ${DEST})
execute_process(COMMAND ${CPACK} --config ${BUILD_DIR}/CPackConfig.cmake -G ZIP
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(result)
  message(FATAL_ERROR "cpack failed:\n${output}")
endif()
file(GLOB zips ${BUILD_DIR}/packages/*.zip)
list(LENGTH zips count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "expected one zip in ${BUILD_DIR}/packages, found: ${zips}")
endif()
file(MAKE_DIRECTORY ${DEST}/unzipped)
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${zips} WORKING_DIRECTORY ${DEST}/unzipped
                RESULT_VARIABLE result)
file(GLOB top ${DEST}/unzipped/*)
list(LENGTH top count)
if(result OR NOT count EQUAL 1)
  message(FATAL_ERROR "could not unpack ${zips} into one folder: ${top}")
endif()
file(RENAME ${top} ${DEST}/package)
message(STATUS "unpacked ${zips}")
