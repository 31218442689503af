# Checks the tables of the Windows Installer package PACKAGE (architecture
# ARCH) with msiinfo: nothing runs code of its own, the service is the
# package's, and the architecture's folder and registry view are used.
cmake_minimum_required(VERSION 3.21)
find_program(MSIINFO msiinfo REQUIRED)

# Exported tables are tab-separated rows after three header lines.
function(table name out)
  execute_process(COMMAND ${MSIINFO} export ${PACKAGE} ${name}
                  RESULT_VARIABLE result OUTPUT_VARIABLE text ERROR_VARIABLE error)
  if(result)
    set(text "")
  endif()
  string(REPLACE "\r" "" text "${text}")
  string(REPLACE ";" "\\;" text "${text}")
  string(REPLACE "\n" ";" rows "${text}")
  list(LENGTH rows count)
  if(count GREATER 3)
    list(SUBLIST rows 3 -1 rows)
  else()
    set(rows "")
  endif()
  list(FILTER rows EXCLUDE REGEX "^$")
  set(${out} "${rows}" PARENT_SCOPE)
endfunction()

function(fail message)
  set_property(GLOBAL APPEND PROPERTY failures "${message}")
endfunction()
function(expect_match text regex message)
  if(NOT text MATCHES "${regex}")
    fail("${message}: ${text}")
  endif()
endfunction()

# Custom actions may only set properties or directories (51, 35) or show an
# error (19): no script (5, 6, 37, 38, 53, 54), program (2, 18, 34, 50) or DLL.
table(CustomAction actions)
foreach(row IN LISTS actions)
  string(REPLACE "\t" ";" fields "${row}")
  list(GET fields 0 action)
  list(GET fields 1 type)
  math(EXPR base "${type} & 63")
  if(NOT (base EQUAL 51 OR base EQUAL 35 OR base EQUAL 19))
    fail("custom action ${action} has type ${type}, which runs code")
  endif()
endforeach()
table(Binary binaries)
if(binaries)
  fail("the package carries binaries for custom actions: ${binaries}")
endif()

table(ServiceInstall services)
# One service: Agent, own process (16), automatic start (2), as LocalSystem.
expect_match("${services}" "^[^\t;]*\tAgent\t[^\t]*\t16\t2\t1\t[^\t]*\t[^\t]*\tLocalSystem\t[^;]*$"
             "ServiceInstall")
table(ServiceControl controls)
# Start on install (1), stop on install and uninstall (2, 32), remove on uninstall (128).
expect_match("${controls}" "\tAgent\t163\t" "ServiceControl")

table(Property properties)
foreach(expected "ARPURLINFOABOUT\thttps://corvix.example.com/" "PRINTERNAME\tCorvix TIF Printer")
  expect_match("${properties}" "(^|;)${expected}(;|$)" "Property ${expected}")
endforeach()
expect_match("${actions}" "(^|;)SettingsKeyDefault\t[0-9]+\tSETTINGSKEY\tTavirel[\\]Corvix TIF Printer\t"
             "default of SETTINGSKEY")

execute_process(COMMAND ${MSIINFO} suminfo ${PACKAGE} OUTPUT_VARIABLE summary)
table(Directory directories)
table(Component components)
table(RegLocator searches)
if(ARCH STREQUAL "x64")
  expect_match("${summary}" "Template: x64;1033" "summary template")
  expect_match("${directories}" "(^|;)ProgramFiles64Folder\t" "Directory")
  table(LaunchCondition conditions)
  expect_match("${conditions}" "(^|;)VersionNT64\t" "LaunchCondition against 32-bit Windows")
  set(component_bit 256)
  set(search_bit 16)
else()
  expect_match("${summary}" "Template: Intel;1033" "summary template")
  expect_match("${directories}" "(^|;)ProgramFilesFolder\t" "Directory")
  set(component_bit 0)
  set(search_bit 0)
endif()
# Every component writes, and every search reads, this architecture's view:
# the 64-bit flag in column `column` of each row is `expected`.
function(expect_view_flag what rows column flag expected)
  foreach(row IN LISTS rows)
    string(REPLACE "\t" ";" fields "${row}")
    list(GET fields 0 name)
    list(GET fields ${column} value)
    math(EXPR bit "${value} & ${flag}")
    if(NOT bit EQUAL expected)
      fail("${what} ${name} has the 64-bit flag ${bit} in ${value}")
    endif()
  endforeach()
endfunction()
expect_view_flag(component "${components}" 3 256 ${component_bit})
expect_view_flag("registry search" "${searches}" 4 16 ${search_bit})
# The configuration is written only where it is missing, by components
# without a component code, which nothing ever removes.
expect_match("${components}" "(^|;)PrinterTable\t\t[^\t]*\t[0-9]+\tNOT CONFIGFOUND\t"
             "Component PrinterTable")
set(settings 0)
foreach(row IN LISTS components)
  if(row MATCHES "^Setting([0-9]+)\t")
    math(EXPR settings "${settings} + 1")
    expect_match("${row}"
                 "^Setting${CMAKE_MATCH_1}\t\t[^\t]*\t[0-9]+\tNOT SETTINGFOUND${CMAKE_MATCH_1} AND [(]SETTINGSKEYGIVEN OR NOT CONFIGFOUND[)]\t"
                 "Component Setting${CMAKE_MATCH_1}")
  endif()
endforeach()
if(NOT settings EQUAL 15)
  fail("expected 15 settings components, found ${settings}")
endif()

get_property(failures GLOBAL PROPERTY failures)
if(failures)
  string(REPLACE ";" "\n  " failures "${failures}")
  message(FATAL_ERROR "${PACKAGE}:\n  ${failures}")
endif()
message(STATUS "${PACKAGE}: tables as expected")
