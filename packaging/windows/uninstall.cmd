@echo off
rem Removes the Corvix TIF Printer job agent @PROJECT_VERSION@ (@PACKAGE_ARCH@).
rem Run from an elevated command prompt:
rem   uninstall.cmd [/dir DIRECTORY] [/removeconfig]
rem Stops and deletes the service "Agent" and removes the programs. The printer
rem configuration stays unless /removeconfig is given. Running it again does no harm.
setlocal EnableExtensions DisableDelayedExpansion

set "ARCH=@PACKAGE_ARCH@"
set "VIEW=/reg:@PACKAGE_REG_BITS@"
set "SERVICE=Agent"
set "SERVICE_KEY=HKLM\SYSTEM\CurrentControlSet\Services\Agent"
set "VENDOR_KEY=HKLM\Software\Tavirel"
set "CONFIG_KEY=HKLM\Software\Tavirel\SrvCfg"
set "PROGRAMS=agent.exe winrelay.exe uiplug.dll jobsend.exe"
set "DIR="
set "REMOVE_CONFIG=0"
set "ERR="

:next_arg
if "%~1"=="" goto args_done
if /i "%~1"=="/dir" goto arg_dir
if /i "%~1"=="/removeconfig" goto arg_removeconfig
if "%~1"=="/?" goto usage
if /i "%~1"=="/help" goto usage
echo uninstall: unknown option "%~1". 1>&2
goto usage_error
:arg_dir
if "%~2"=="" goto missing_value
set "DIR=%~2"
shift
shift
goto next_arg
:arg_removeconfig
set "REMOVE_CONFIG=1"
shift
goto next_arg
:missing_value
echo uninstall: option %~1 needs a value. 1>&2
goto usage_error

:args_done
net session >nul 2>&1
if errorlevel 1 goto not_elevated

rem Another product's service of this name is left alone. Without /dir the
rem directory is where the service runs from, else the default one.
rem The services key has one view for 32- and 64-bit programs.
call :read_sz "%SERVICE_KEY%" ImagePath IMAGE
if not defined IMAGE goto image_checked
for %%f in ("%IMAGE:"=%") do set "IMAGE_DIR=%%~dpf"
for %%f in ("%IMAGE:"=%") do set "IMAGE_NAME=%%~nxf"
if /i not "%IMAGE_NAME%"=="agent.exe" set "ERR=the service %SERVICE% runs "%IMAGE:"=%", which is not this product's agent.exe: nothing was changed." & goto fail
if not defined DIR set "DIR=%IMAGE_DIR%"
:image_checked
if defined DIR goto dir_known
:default_dir
set "DIR=%ProgramFiles%\Corvix TIF Printer"
rem Tested through a plain name: some cmd parsers trip over "(x86)" in a nested if.
set "PF86=%ProgramFiles(x86)%"
if "%ARCH%"=="x86" if defined PF86 set "DIR=%PF86%\Corvix TIF Printer"
if "%ARCH%"=="x64" if defined ProgramW6432 set "DIR=%ProgramW6432%\Corvix TIF Printer"
:dir_known
for %%d in ("%DIR%") do set "DIR=%%~fd"
if "%DIR:~-1%"=="\" set "DIR=%DIR:~0,-1%"

echo Uninstalling the Corvix TIF Printer job agent [%ARCH%] from "%DIR%".

sc query %SERVICE% >nul 2>&1
if not errorlevel 1 goto stop_service
echo The service %SERVICE% is not installed.
goto files
:stop_service
sc query %SERVICE% | find "STOPPED" >nul
if not errorlevel 1 goto delete_service
call :stop_and_wait
if errorlevel 1 set "ERR=could not stop the service %SERVICE%." & goto fail
echo Stopped the service %SERVICE%.
:delete_service
sc delete %SERVICE% >nul
if errorlevel 1 set "ERR=could not delete the service %SERVICE%." & goto fail
echo Deleted the service %SERVICE%.

:files
if exist "%DIR%\" goto remove_files
echo The directory "%DIR%" does not exist.
goto configuration
:remove_files
rem A goto inside a for loop does not end the loop everywhere: collect, then test.
for %%f in (%PROGRAMS%) do call :remove_file %%f
if defined ERR goto fail
if /i "%~dp0"=="%DIR%\" goto configuration
call :remove_file uninstall.cmd
if defined ERR goto fail
rmdir "%DIR%" 2>nul
if exist "%DIR%\" echo Kept "%DIR%": it holds other files.
if not exist "%DIR%\" echo Removed "%DIR%".

:configuration
if "%REMOVE_CONFIG%"=="1" goto remove_configuration
echo Kept the printer configuration (%CONFIG_KEY% and the printers' settings keys); "uninstall.cmd /removeconfig" removes it.
goto done
:remove_configuration
set "COUNT=0"
for /f "tokens=3" %%c in ('reg query "%CONFIG_KEY%" /v count %VIEW% 2^>nul ^| find "REG_DWORD"') do set /a COUNT=%%c
rem Guards against a corrupt count: nobody lists a thousand printers.
if %COUNT% GTR 1000 set "COUNT=1000"
for /l %%i in (1,1,%COUNT%) do call :remove_settings printer%%i
reg query "%CONFIG_KEY%" %VIEW% >nul 2>&1
if errorlevel 1 goto vendor_key
reg delete "%CONFIG_KEY%" /f %VIEW% >nul
if errorlevel 1 set "ERR=could not delete %CONFIG_KEY%." & goto fail
echo Removed %CONFIG_KEY%.
:vendor_key
call :remove_vendor_key_if_empty
if defined ERR goto fail
echo Per-user copies of the settings keys (HKEY_USERS\^<SID^>\Software\...) are left to their users.

:done
echo Uninstall finished.
if /i not "%~dp0"=="%DIR%\" exit /b 0
rem Run from the installation directory: this script goes last, on the line that ends it.
del "%~f0" & rmdir "%DIR%" 2>nul & exit /b 0

rem remove_file NAME: deletes DIR\NAME when it is there.
:remove_file
if not exist "%DIR%\%~1" exit /b 0
del /f /q "%DIR%\%~1" >nul 2>&1
if not exist "%DIR%\%~1" echo Removed "%DIR%\%~1".& exit /b 0
if defined ERR exit /b 1
set "ERR=could not delete "%DIR%\%~1"."
if /i "%~1"=="uiplug.dll" set "ERR=could not delete "%DIR%\uiplug.dll": the print spooler may have it loaded; run "net stop spooler", uninstall again, then "net start spooler"."
exit /b 1

rem remove_settings VALUE: deletes the settings key named by a printer value.
:remove_settings
call :read_sz "%CONFIG_KEY%" %1 PRINTER_VALUE %VIEW%
if not defined PRINTER_VALUE exit /b 0
set "SETTINGS="
for /f "tokens=2 delims=;" %%k in ("%PRINTER_VALUE%") do set "SETTINGS=%%k"
if not defined SETTINGS exit /b 0
reg query "HKLM\Software\%SETTINGS%" %VIEW% >nul 2>&1
if errorlevel 1 exit /b 0
reg delete "HKLM\Software\%SETTINGS%" /f %VIEW% >nul
if errorlevel 1 set "ERR=could not delete HKLM\Software\%SETTINGS%." & exit /b 1
echo Removed HKLM\Software\%SETTINGS%.
exit /b 0

rem Deletes the vendor key when neither values (indented lines) nor subkeys are left in it.
:remove_vendor_key_if_empty
reg query "%VENDOR_KEY%" %VIEW% >nul 2>&1
if errorlevel 1 exit /b 0
set "ENTRIES=0"
for /f "delims=" %%l in ('reg query "%VENDOR_KEY%" %VIEW% 2^>nul') do call :count_entry "%%l"
if not "%ENTRIES%"=="0" exit /b 0
reg delete "%VENDOR_KEY%" /f %VIEW% >nul
if errorlevel 1 set "ERR=could not delete %VENDOR_KEY%." & exit /b 1
echo Removed %VENDOR_KEY%.
exit /b 0
:count_entry
set "ENTRY=%~1"
if "%ENTRY:~0,4%"=="    " set /a ENTRIES+=1
if not "%ENTRY:*\Tavirel\=%"=="%ENTRY%" set /a ENTRIES+=1
exit /b 0

rem read_sz KEY NAME VARIABLE VIEW: sets VARIABLE to a string value of KEY, or clears it.
:read_sz
set "%~3="
set "LINE="
for /f "delims=" %%l in ('reg query "%~1" /v "%~2" %4 2^>nul ^| find "REG_"') do set "LINE=%%l"
if not defined LINE exit /b 1
set "LINE=%LINE:*REG_EXPAND_SZ    =%"
set "%~3=%LINE:*REG_SZ    =%"
exit /b 0

rem Stops the service and waits for it, at most about 60 s. net stop gives up
rem when the stop takes longer than it waits, and a stop already under way makes
rem it fail, although the service is stopping: the state decides, not net stop.
:stop_and_wait
net stop %SERVICE% >nul 2>&1
set /a STOP_TRIES=0
:stop_poll
sc query %SERVICE% | find "STOPPED" >nul
if not errorlevel 1 exit /b 0
set /a STOP_TRIES+=1
if %STOP_TRIES% GEQ 30 exit /b 1
sc query %SERVICE% | find "STOP_PENDING" >nul
if errorlevel 1 sc stop %SERVICE% >nul 2>&1
ping -n 3 127.0.0.1 >nul 2>&1
goto stop_poll

:fail
echo uninstall: FAILED: %ERR% 1>&2
exit /b 1

:usage
echo Usage: uninstall.cmd [/dir DIRECTORY] [/removeconfig]
echo   /dir           installation directory (default: where the service Agent runs from)
echo   /removeconfig  also remove %CONFIG_KEY% and the settings keys of its printers
echo Run it from an elevated command prompt. See admin-guide.md.
exit /b 0
:usage_error
echo Usage: uninstall.cmd [/dir DIRECTORY] [/removeconfig] 1>&2
exit /b 2
:not_elevated
echo uninstall: FAILED: administrator rights are needed: run uninstall.cmd from an elevated command prompt (Run as administrator). 1>&2
exit /b 1
