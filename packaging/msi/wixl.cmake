# Builds the Windows Installer package of one architecture with wixl:
#   cmake -DARCH=x86|x64 -DVERSION=1.2.3 -DBIN_DIR=<built binaries> -DGUIDE=<admin-guide.md>
#         -DOUTPUT=<file.msi> [-DWXS=<descriptor to write>] -P wixl.cmake
cmake_minimum_required(VERSION 3.21)
# Packaging.cmake's `msi` target runs it for the build tree's version; the
# packaging tests run it again for a higher version to test an upgrade.
foreach(var ARCH VERSION BIN_DIR GUIDE OUTPUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "wixl.cmake: ${var} is not set")
  endif()
endforeach()
find_program(WIXL wixl REQUIRED)
find_program(MSIBUILD msibuild REQUIRED)

# Fixed for ever: Windows Installer finds an older package of the same
# architecture by its upgrade code.
set(upgrade_code_x86 5FA0F40C-7DB4-47CA-BAE7-FB57A9446D6D)
set(upgrade_code_x64 C3E5E83B-709B-46A3-BE37-09C272168DA1)
# Component and product codes are derived from names in this namespace, so a
# rebuild gives the same codes and the architectures never share one.
set(namespace 5EBF9B72-5D18-4E3B-A2C8-02C9B7775FF1)

set(MSI_ARCH ${ARCH})
set(MSI_VERSION ${VERSION})
if(ARCH STREQUAL "x64")
  set(MSI_OTHER_ARCH x86)
  set(MSI_PROGRAM_FILES ProgramFiles64Folder)
  set(MSI_WIN64_ATTRIBUTE " Win64=\"yes\"")
  set(MSI_ARCH_CONDITION "<Condition Message=\"This package is for 64-bit Windows; use the x86 package on this machine.\">VersionNT64</Condition>")
  set(wixl_arch x64)
elseif(ARCH STREQUAL "x86")
  set(MSI_OTHER_ARCH x64)
  set(MSI_PROGRAM_FILES ProgramFilesFolder)
  set(MSI_WIN64_ATTRIBUTE "")
  set(MSI_ARCH_CONDITION "")
  set(wixl_arch x86)
else()
  message(FATAL_ERROR "wixl.cmake: unknown ARCH ${ARCH}")
endif()
set(MSI_UPGRADE_CODE ${upgrade_code_${ARCH}})
set(MSI_OTHER_UPGRADE_CODE ${upgrade_code_${MSI_OTHER_ARCH}})
string(UUID MSI_PRODUCT_CODE NAMESPACE ${namespace} NAME "product/${ARCH}/${VERSION}"
       TYPE SHA1 UPPER)
foreach(component AgentExe WinrelayExe JobsendExe UiplugDll AdminGuide)
  string(UUID MSI_GUID_${component} NAMESPACE ${namespace} NAME "component/${ARCH}/${component}"
         TYPE SHA1 UPPER)
endforeach()

# The values of the printer's settings key with install.cmd's defaults
# (name, wixl type, value); each is written only when a search finds it
# missing, and on an existing configuration only in a key named on the
# command line.
set(settings
  "Installation Directory"     string  "[InstallFolder]"
  "Allow guest session"        integer 0
  "Allow domain session"       integer 0
  "Allow self session"         integer 0
  "Preprocessing: Enabled"     integer 0
  "Preprocessing: Application" string  ""
  "Preprocessing: Skip"        integer 0
  "Transfer Mode"              integer 2
  "Client Application"         string  ""
  "Target window title"        string  ""
  "Message ID"                 integer 0
  "Output Directory"           string  "[%PUBLIC]\\Documents"
  "Timeout"                    integer 5000
  "Application: Skip"          integer 0
  "RAW: Enabled"               integer 0)
set(MSI_SEARCHES "")
set(MSI_SEEDS "")
set(MSI_SEED_REFS "")
# wixl has no component conditions: they are set in the built package.
set(conditions "UPDATE `Component` SET `Condition` = 'NOT CONFIGFOUND' WHERE `Component` = 'PrinterTable'")
list(LENGTH settings count)
math(EXPR last "${count} - 1")
set(number 0)
foreach(i RANGE 0 ${last} 3)
  math(EXPR t "${i} + 1")
  math(EXPR v "${i} + 2")
  list(GET settings ${i} name)
  list(GET settings ${t} type)
  list(GET settings ${v} value)
  math(EXPR number "${number} + 1")
  set(found "SETTINGFOUND${number}")
  string(APPEND MSI_SEARCHES
    "    <Property Id=\"${found}\">\n"
    "      <RegistrySearch Id=\"Setting${number}\" Root=\"HKLM\" Key=\"Software\\[SETTINGSKEY]\" Name=\"${name}\"\n"
    "                      Type=\"raw\"${MSI_WIN64_ATTRIBUTE}/>\n"
    "    </Property>\n")
  string(APPEND MSI_SEEDS
    "          <Component Id=\"Setting${number}\" Guid=\"\"${MSI_WIN64_ATTRIBUTE}>\n"
    "            <RegistryValue Root=\"HKLM\" Key=\"Software\\[SETTINGSKEY]\" Name=\"${name}\" Type=\"${type}\"\n"
    "                           Value=\"${value}\" KeyPath=\"yes\"/>\n"
    "          </Component>\n")
  string(APPEND MSI_SEED_REFS "      <ComponentRef Id=\"Setting${number}\"/>\n")
  list(APPEND conditions
       "UPDATE `Component` SET `Condition` = 'NOT ${found} AND (SETTINGSKEYGIVEN OR NOT CONFIGFOUND)' WHERE `Component` = 'Setting${number}'")
endforeach()

if(NOT WXS)
  string(REGEX REPLACE "\\.msi$" "" WXS ${OUTPUT})
  string(APPEND WXS .wxs)
endif()
# wixl finds the files relative to the folder it runs in, the binaries' one.
file(RELATIVE_PATH MSI_GUIDE ${BIN_DIR} ${GUIDE})
configure_file(${CMAKE_CURRENT_LIST_DIR}/agent.wxs.in ${WXS} @ONLY)
execute_process(COMMAND ${WIXL} --arch ${wixl_arch} -o ${OUTPUT} ${WXS}
                WORKING_DIRECTORY ${BIN_DIR}
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(result)
  file(REMOVE ${OUTPUT})
  message(FATAL_ERROR "wixl failed for ${WXS}:\n${output}")
endif()
set(queries "")
foreach(query IN LISTS conditions)
  list(APPEND queries -q "${query}")
endforeach()
execute_process(COMMAND ${MSIBUILD} ${OUTPUT} ${queries}
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(result)
  file(REMOVE ${OUTPUT})
  message(FATAL_ERROR "msibuild could not set the component conditions of ${OUTPUT}:\n${output}")
endif()
