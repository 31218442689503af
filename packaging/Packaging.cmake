# Release packages: one zip per architecture with the deliverables, the
# install and uninstall scripts and the administrator's guide, and one
# Windows Installer package per architecture (packaging/msi).
# scripts/package.sh builds all four; `cpack` in a build tree builds its zip,
# the `msi` target its Windows Installer package.

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(PACKAGE_ARCH x64)
  set(PACKAGE_REG_BITS 64)
else()
  set(PACKAGE_ARCH x86)
  set(PACKAGE_REG_BITS 32)
endif()

# Every deliverable, with the description its version resource carries.
set(_deliverables
  agent    "Print job agent service"
  winrelay "Job window forwarder"
  uiplug   "Driver UI DLL"
  jobsend  "Job producer tool")

# True when one of the target's own resource scripts declares a VERSIONINFO.
function(_has_version_resource target out)
  get_target_property(sources ${target} SOURCES)
  get_target_property(source_dir ${target} SOURCE_DIR)
  set(found FALSE)
  foreach(source IN LISTS sources)
    if(source MATCHES "\\.rc$" AND NOT source MATCHES "^\\$<")
      if(NOT IS_ABSOLUTE "${source}")
        set(source "${source_dir}/${source}")
      endif()
      file(READ "${source}" text)
      if(text MATCHES "VERSIONINFO")
        set(found TRUE)
      endif()
    endif()
  endforeach()
  set(${out} ${found} PARENT_SCOPE)
endfunction()

# A deliverable without a version resource of its own gets the shared one, so
# every binary in a zip carries the package's version.
list(LENGTH _deliverables _count)
math(EXPR _last "${_count} - 1")
foreach(i RANGE 0 ${_last} 2)
  math(EXPR j "${i} + 1")
  list(GET _deliverables ${i} target)
  list(GET _deliverables ${j} version_description)
  if(NOT TARGET ${target})
    message(FATAL_ERROR "packaging: the deliverable ${target} is not built by this tree")
  endif()
  get_target_property(kind ${target} TYPE)
  if(kind STREQUAL "EXECUTABLE")
    set(version_file_type VFT_APP)
    set(version_file_name ${target}.exe)
  else()
    set(version_file_type VFT_DLL)
    set(version_file_name ${target}.dll)
  endif()
  _has_version_resource(${target} has_version)
  if(NOT has_version)
    set(version_target ${target})
    set(rc ${CMAKE_BINARY_DIR}/packaging/${target}_version.rc)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/version.rc.in ${rc} @ONLY)
    target_sources(${target} PRIVATE ${rc})
  endif()
  install(PROGRAMS $<TARGET_FILE:${target}> DESTINATION . COMPONENT release)
endforeach()

# The scripts know their package's architecture: the registry view the
# binaries read and the default installation directory depend on it.
foreach(script install.cmd uninstall.cmd)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/windows/${script}
                 ${CMAKE_BINARY_DIR}/packaging/${script} @ONLY NEWLINE_STYLE CRLF)
  install(PROGRAMS ${CMAKE_BINARY_DIR}/packaging/${script} DESTINATION . COMPONENT release)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/docs/admin-guide.md DESTINATION . COMPONENT release)

# The Windows Installer package beside the zip, built by the `msi` target.
set(_msi ${CMAKE_BINARY_DIR}/packages/tif-printer-agent-${PROJECT_VERSION}-${PACKAGE_ARCH}.msi)
add_custom_command(
  OUTPUT ${_msi}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packages
  COMMAND ${CMAKE_COMMAND} -DARCH=${PACKAGE_ARCH} -DVERSION=${PROJECT_VERSION}
          -DBIN_DIR=$<TARGET_FILE_DIR:agent> -DGUIDE=${PROJECT_SOURCE_DIR}/docs/admin-guide.md
          -DOUTPUT=${_msi} -DWXS=${CMAKE_BINARY_DIR}/packaging/agent.wxs
          -P ${CMAKE_CURRENT_LIST_DIR}/msi/wixl.cmake
  DEPENDS agent winrelay uiplug jobsend ${CMAKE_CURRENT_LIST_DIR}/msi/wixl.cmake
          ${CMAKE_CURRENT_LIST_DIR}/msi/agent.wxs.in ${PROJECT_SOURCE_DIR}/docs/admin-guide.md
  VERBATIM)
add_custom_target(msi DEPENDS ${_msi})

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME tif-printer-agent)
set(CPACK_PACKAGE_VENDOR Tavirel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME "tif-printer-agent-${PROJECT_VERSION}-${PACKAGE_ARCH}")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};release;/")
# The packages hold only the deliverables, which package.sh builds first:
# packaging must not wait for every test program to build.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)
include(CPack)
