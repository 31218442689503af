@echo off
rem Installs the Corvix TIF Printer job agent @PROJECT_VERSION@ (@PACKAGE_ARCH@).
rem Run from an elevated command prompt:
rem   install.cmd [/dir DIRECTORY] [/printer NAME] [/key SETTINGS_KEY_NAME] [/nostart]
rem Copies the programs, creates the service "Agent" (LocalSystem, automatic
rem start), writes a starter printer configuration only where none exists and
rem starts the service. Running it again upgrades in place.
setlocal EnableExtensions DisableDelayedExpansion

set "VERSION=@PROJECT_VERSION@"
set "ARCH=@PACKAGE_ARCH@"
rem The binaries of this package read this registry view (WOW6432Node for x86 on 64-bit Windows).
set "VIEW=/reg:@PACKAGE_REG_BITS@"
set "SERVICE=Agent"
set "CONFIG_KEY=HKLM\Software\Tavirel\SrvCfg"
set "FILES=agent.exe winrelay.exe uiplug.dll jobsend.exe uninstall.cmd"
set "SOURCE=%~dp0"
set "DIR="
set "PRINTER=Corvix TIF Printer"
set "SETTINGS="
set "START=1"
set "ERR="

:next_arg
if "%~1"=="" goto args_done
if /i "%~1"=="/dir" goto arg_dir
if /i "%~1"=="/printer" goto arg_printer
if /i "%~1"=="/key" goto arg_key
if /i "%~1"=="/nostart" goto arg_nostart
if "%~1"=="/?" goto usage
if /i "%~1"=="/help" goto usage
echo install: unknown option "%~1". 1>&2
goto usage_error
:arg_dir
if "%~2"=="" goto missing_value
set "DIR=%~2"
shift
shift
goto next_arg
:arg_printer
if "%~2"=="" goto missing_value
set "PRINTER=%~2"
shift
shift
goto next_arg
:arg_key
if "%~2"=="" goto missing_value
set "SETTINGS=%~2"
shift
shift
goto next_arg
:arg_nostart
set "START=0"
shift
goto next_arg
:missing_value
echo install: option %~1 needs a value. 1>&2
goto usage_error

:args_done
if not "%PRINTER:;=%"=="%PRINTER%" goto bad_name
if defined SETTINGS if not "%SETTINGS:;=%"=="%SETTINGS%" goto bad_name

if "%ARCH%"=="x86" goto arch_ok
if /i "%PROCESSOR_ARCHITECTURE%"=="x86" if not defined PROCESSOR_ARCHITEW6432 goto wrong_arch
:arch_ok

if defined DIR goto dir_given
set "DIR=%ProgramFiles%\Corvix TIF Printer"
rem Tested through a plain name: some cmd parsers trip over "(x86)" in a nested if.
set "PF86=%ProgramFiles(x86)%"
if "%ARCH%"=="x86" if defined PF86 set "DIR=%PF86%\Corvix TIF Printer"
if "%ARCH%"=="x64" if defined ProgramW6432 set "DIR=%ProgramW6432%\Corvix TIF Printer"
:dir_given
rem A full path without a trailing backslash: reg.exe would read \" as a quote.
for %%d in ("%DIR%") do set "DIR=%%~fd"
if "%DIR:~-1%"=="\" set "DIR=%DIR:~0,-1%"

echo Installing the Corvix TIF Printer job agent %VERSION% [%ARCH%] into "%DIR%".

net session >nul 2>&1
if errorlevel 1 goto not_elevated

rem A goto inside a for loop does not end the loop everywhere: collect, then test.
set "MISSING="
for %%f in (%FILES%) do if not exist "%SOURCE%%%f" set "MISSING=%%f"
if defined MISSING set "ERR="%SOURCE%%MISSING%" is missing: unpack the whole zip and run install.cmd from there." & goto fail

rem An upgrade replaces agent.exe, which Windows keeps locked while it runs.
sc query %SERVICE% >nul 2>&1
if errorlevel 1 goto copy_files
sc query %SERVICE% | find "STOPPED" >nul
if not errorlevel 1 goto copy_files
echo Stopping the running service %SERVICE%.
call :stop_and_wait
if errorlevel 1 set "ERR=could not stop the service %SERVICE%." & goto fail

:copy_files
if /i "%SOURCE%"=="%DIR%\" goto files_in_place
if not exist "%DIR%\" mkdir "%DIR%" 2>nul
if not exist "%DIR%\" set "ERR=could not create the directory "%DIR%"." & goto fail
set "ERR="
for %%f in (%FILES%) do call :copy_file %%f
if defined ERR goto fail
echo Copied %FILES% to "%DIR%".
goto service
:files_in_place
echo The files are already in "%DIR%".

:service
set "BINARY_PATH=\"%DIR%\agent.exe\""
sc query %SERVICE% >nul 2>&1
if errorlevel 1 goto create_service
sc config %SERVICE% binPath= "%BINARY_PATH%" start= auto obj= LocalSystem >nul 2>&1
if not errorlevel 1 goto service_updated
rem Where sc config is not available the service is registered anew.
sc delete %SERVICE% >nul
if errorlevel 1 set "ERR=could not update the service %SERVICE%." & goto fail
:create_service
sc create %SERVICE% binPath= "%BINARY_PATH%" start= auto obj= LocalSystem DisplayName= "Corvix TIF Printer Agent" >nul
if errorlevel 1 set "ERR=could not create the service %SERVICE%." & goto fail
echo Created the service %SERVICE% (LocalSystem, automatic start) for "%DIR%\agent.exe".
goto configuration
:service_updated
echo Updated the service %SERVICE% (LocalSystem, automatic start) for "%DIR%\agent.exe".

:configuration
reg query "%CONFIG_KEY%" /v count %VIEW% >nul 2>&1
if errorlevel 1 goto new_configuration
echo Kept the existing printer configuration in %CONFIG_KEY%.
rem Without /key, the existing first printer's settings key gets any values it lacks.
if defined SETTINGS goto settings
call :read_sz "%CONFIG_KEY%" printer1 FIRST_PRINTER
if defined FIRST_PRINTER for /f "tokens=2 delims=;" %%k in ("%FIRST_PRINTER%") do set "SETTINGS=%%k"
goto settings
:new_configuration
if not defined SETTINGS set "SETTINGS=Tavirel\Corvix TIF Printer"
reg add "%CONFIG_KEY%" /v count /t REG_DWORD /d 1 /f %VIEW% >nul
if errorlevel 1 set "ERR=could not write %CONFIG_KEY%." & goto fail
reg add "%CONFIG_KEY%" /v printer1 /t REG_SZ /d "%PRINTER%;%SETTINGS%" /f %VIEW% >nul
if errorlevel 1 set "ERR=could not write %CONFIG_KEY%." & goto fail
echo Wrote the printer configuration %CONFIG_KEY%: count = 1, printer1 = "%PRINTER%;%SETTINGS%".

:settings
if not defined SETTINGS goto started
set "SETTINGS_KEY=HKLM\Software\%SETTINGS%"
set /a WRITTEN=0, KEPT=0
set "OUTPUT=%PUBLIC%\Documents"
if not defined PUBLIC set "OUTPUT=%DIR%\Output"
set "ERR="
call :seed "Installation Directory" REG_SZ "%DIR%"
call :seed "Allow guest session" REG_DWORD 0
call :seed "Allow domain session" REG_DWORD 0
call :seed "Allow self session" REG_DWORD 0
call :seed "Preprocessing: Enabled" REG_DWORD 0
call :seed "Preprocessing: Application" REG_SZ ""
call :seed "Preprocessing: Skip" REG_DWORD 0
call :seed "Transfer Mode" REG_DWORD 2
call :seed "Client Application" REG_SZ ""
call :seed "Target window title" REG_SZ ""
call :seed "Message ID" REG_DWORD 0
call :seed "Output Directory" REG_SZ "%OUTPUT%"
call :seed "Timeout" REG_DWORD 5000
call :seed "Application: Skip" REG_DWORD 0
call :seed "RAW: Enabled" REG_DWORD 0
if defined ERR goto fail
echo Settings key %SETTINGS_KEY%: wrote %WRITTEN% values, kept %KEPT% existing ones.
call :read_sz "%SETTINGS_KEY%" "Installation Directory" CONFIGURED_DIR
if /i not "%CONFIGURED_DIR%"=="%DIR%" echo Note: its "Installation Directory" stays "%CONFIGURED_DIR%"; change it if the printer's programs moved.

:started
if "%START%"=="0" goto not_started
net start %SERVICE% >nul 2>&1
rem The service reports running at once and stops when it cannot load its configuration.
ping -n 3 127.0.0.1 >nul 2>&1
sc query %SERVICE% | find "RUNNING" >nul
if errorlevel 1 set "ERR=the service %SERVICE% did not stay running: create c:\tmp and read c:\tmp\log." & goto fail
echo Started the service %SERVICE%.
goto done
:not_started
echo The service %SERVICE% was not started (/nostart): run "net start %SERVICE%" when ready.

:done
echo Installation finished.
exit /b 0

:copy_file
copy /y "%SOURCE%%~1" "%DIR%\" >nul 2>&1
if not errorlevel 1 exit /b 0
if defined ERR exit /b 1
set "ERR=could not copy %~1 to "%DIR%"."
if /i "%~1"=="uiplug.dll" set "ERR=could not copy uiplug.dll to "%DIR%": the print spooler may have it loaded; run "net stop spooler", install again, then "net start spooler"."
exit /b 1

rem read_sz KEY NAME VARIABLE: sets VARIABLE to a string value of KEY, or clears it.
:read_sz
set "%~3="
set "LINE="
for /f "delims=" %%l in ('reg query "%~1" /v "%~2" %VIEW% 2^>nul ^| find "REG_SZ"') do set "LINE=%%l"
if not defined LINE exit /b 1
set "%~3=%LINE:*REG_SZ    =%"
exit /b 0

rem seed NAME TYPE DATA: writes one value of the settings key unless it exists.
:seed
if defined ERR exit /b 1
reg query "%SETTINGS_KEY%" /v "%~1" %VIEW% >nul 2>&1
if errorlevel 1 goto seed_write
set /a KEPT+=1
exit /b 0
:seed_write
reg add "%SETTINGS_KEY%" /v "%~1" /t %~2 /d "%~3" /f %VIEW% >nul
if errorlevel 1 set "ERR=could not write the value "%~1" of %SETTINGS_KEY%." & exit /b 1
set /a WRITTEN+=1
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
echo install: FAILED: %ERR% 1>&2
exit /b 1

:usage
echo Usage: install.cmd [/dir DIRECTORY] [/printer NAME] [/key SETTINGS_KEY_NAME] [/nostart]
echo   /dir      installation directory (default: "Corvix TIF Printer" under Program Files)
echo   /printer  the printer's name in the spooler, for a new configuration (default: Corvix TIF Printer)
echo   /key      settings key name below HKLM\Software (default: Tavirel\Corvix TIF Printer)
echo   /nostart  do not start the service
echo Run it from an elevated command prompt. See admin-guide.md.
exit /b 0
:usage_error
echo Usage: install.cmd [/dir DIRECTORY] [/printer NAME] [/key SETTINGS_KEY_NAME] [/nostart] 1>&2
exit /b 2
:bad_name
echo install: FAILED: the printer name and the settings key name must not contain ";". 1>&2
exit /b 2
:wrong_arch
echo install: FAILED: this package is for 64-bit Windows; use the x86 package on this machine. 1>&2
exit /b 1
:not_elevated
echo install: FAILED: administrator rights are needed: run install.cmd from an elevated command prompt (Run as administrator). 1>&2
exit /b 1
