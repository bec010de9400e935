@echo off
rem Removes what install.cmd registered: the browsers' registry keys for the
rem host and the manifests beside this script. See "uninstall.cmd --help".
setlocal EnableExtensions DisableDelayedExpansion
rem Failures are tested with "if errorlevel" on the next line, never with
rem "||": Wine's cmd runs the right side of "||" even after a success.

rem Runs in its own folder with relative names, never expanding the folder's
rem path with %: see install.cmd.
set "hive=HKCU"
set "name=com.quorvia.deviceinfo"
set "writer=quorvia-manifest.exe"

:args
if "%~1"=="" goto parsed
if /i "%~1"=="--system" goto opt_system
if /i "%~1"=="--name" goto opt_name
if /i "%~1"=="--help" goto usage
if "%~1"=="/?" goto usage
echo uninstall.cmd: unknown argument "%~1" (see uninstall.cmd --help) 1>&2
exit /b 2

:opt_system
set "hive=HKLM"
shift
goto args

:opt_name
if "%~2"=="" goto missing_value
set "name=%~2"
shift
shift
goto args

:missing_value
echo uninstall.cmd: %~1 needs a value 1>&2
exit /b 2

:parsed
for %%I in (%0) do pushd "%%~dpI"
if errorlevel 1 exit /b 2
call :main
set "status=%errorlevel%"
popd
exit /b %status%

:main
if not exist "%writer%" goto no_writer
rem An empty or odd name would make "reg delete" remove other hosts' keys.
"%writer%" --check-name "%name%"
if errorlevel 1 exit /b 2
set "failed="
call :unregister "Software\Google\Chrome" chrome
call :unregister "Software\Chromium" chromium
call :unregister "Software\Microsoft\Edge" edge
call :unregister "Software\Mozilla" firefox
if exist "%name%.chrome.json" del /f /q "%name%.chrome.json"
if exist "%name%.firefox.json" del /f /q "%name%.firefox.json"
if defined failed exit /b 1
exit /b 0

:unregister
set "key=%hive%\%~1\NativeMessagingHosts\%name%"
reg query "%key%" /reg:64 >nul 2>&1
if errorlevel 1 goto not_registered
reg delete "%key%" /f /reg:64 >nul
if errorlevel 1 goto unregister_failed
echo removed %name% for %~2: %key%
exit /b 0
:not_registered
echo %name% was not registered for %~2: %key%
exit /b 0
:unregister_failed
echo uninstall.cmd: cannot remove %key% 1>&2
set "failed=1"
exit /b 1

:no_writer
echo uninstall.cmd: quorvia-manifest.exe not found beside this script 1>&2
exit /b 2

:usage
echo usage: uninstall.cmd [--system] [--name NAME]
echo.
echo Removes the host's registry keys for Chrome, Chromium, Edge and Firefox,
echo for the current user or with --system for the machine, and the manifests
echo beside this script.
exit /b 0
