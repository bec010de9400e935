@echo off
rem Registers the Quorvia host with Chrome, Chromium, Edge and Firefox on
rem Windows: writes the manifests beside this script and points each
rem browser's registry key at them. See "install.cmd --help".
setlocal EnableExtensions DisableDelayedExpansion
rem Failures are tested with "if errorlevel" on the next line, never with
rem "||": Wine's cmd runs the right side of "||" even after a success.

rem The script's own folder is never expanded with %: a folder may be named
rem "100% ^ & ! (x86)", and "call" (and Wine's cmd everywhere) would expand
rem its % and ^ once more. The work runs in that folder with relative names
rem instead, and full paths come from for-variables (%%~f), which nothing
rem expands again.
set "hive=HKCU"
set "name=com.quorvia.deviceinfo"
set "host=quorvia-host.exe"
set "chrome="
set "firefox="
set "writer=quorvia-manifest.exe"
set "template=host-manifest.json.in"

rem Values are read with goto, never inside ( ) blocks: a path such as
rem "C:\Program Files (x86)" would close the block early.
:args
if "%~1"=="" goto parsed
if /i "%~1"=="--system" goto opt_system
if /i "%~1"=="--host" goto opt_host
if /i "%~1"=="--name" goto opt_name
if /i "%~1"=="--chrome-ids" goto opt_chrome
if /i "%~1"=="--firefox-ids" goto opt_firefox
if /i "%~1"=="--help" goto usage
if "%~1"=="/?" goto usage
rem In double quotes, so that an argument holding & or > stays text.
echo install.cmd: unknown argument "%~1" (see install.cmd --help) 1>&2
exit /b 2

:opt_system
set "hive=HKLM"
shift
goto args

:opt_host
if "%~2"=="" goto missing_value
set "host=%~f2"
shift
shift
goto args

:opt_name
if "%~2"=="" goto missing_value
set "name=%~2"
shift
shift
goto args

rem cmd splits "a,b" at the comma, so every argument up to the next option
rem belongs to the list.
:opt_chrome
shift
:chrome_more
set "arg=%~1"
if not defined arg goto args
if "%arg:~0,2%"=="--" goto args
set "chrome=%chrome%,%arg%"
shift
goto chrome_more

:opt_firefox
shift
:firefox_more
set "arg=%~1"
if not defined arg goto args
if "%arg:~0,2%"=="--" goto args
set "firefox=%firefox%,%arg%"
shift
goto firefox_more

:missing_value
echo install.cmd: %~1 needs a value 1>&2
exit /b 2

:parsed
if defined chrome goto have_ids
if defined firefox goto have_ids
echo install.cmd: no extension IDs given: name the extensions allowed to call the host with --chrome-ids and/or --firefox-ids 1>&2
exit /b 2
:have_ids
for %%I in (%0) do pushd "%%~dpI"
if errorlevel 1 exit /b 2
call :main
set "status=%errorlevel%"
popd
exit /b %status%

:main
if not exist "%writer%" goto no_writer
if not exist "%template%" goto no_template
if not exist "%host%" goto no_host

rem Every input is checked before anything is written or registered.
if not defined chrome goto check_firefox
"%writer%" --check --template "%template%" --host "%host%" --name "%name%" --chrome-ids "%chrome%"
if errorlevel 1 exit /b 2
:check_firefox
if not defined firefox goto checked
"%writer%" --check --template "%template%" --host "%host%" --name "%name%" --firefox-ids "%firefox%"
if errorlevel 1 exit /b 2
:checked
set "chrome_manifest=%name%.chrome.json"
set "firefox_manifest=%name%.firefox.json"
if not defined chrome goto write_firefox
"%writer%" --template "%template%" --out "%chrome_manifest%" --host "%host%" --name "%name%" --chrome-ids "%chrome%"
if errorlevel 1 exit /b 2
set "manifest=%chrome_manifest%"
call :register "Software\Google\Chrome" chrome
if errorlevel 1 exit /b 1
call :register "Software\Chromium" chromium
if errorlevel 1 exit /b 1
call :register "Software\Microsoft\Edge" edge
if errorlevel 1 exit /b 1
:write_firefox
if not defined firefox exit /b 0
"%writer%" --template "%template%" --out "%firefox_manifest%" --host "%host%" --name "%name%" --firefox-ids "%firefox%"
if errorlevel 1 exit /b 2
set "manifest=%firefox_manifest%"
call :register "Software\Mozilla" firefox
if errorlevel 1 exit /b 1
exit /b 0

rem The 64-bit view, where 64-bit browsers look first, whichever cmd runs us.
:register
set "key=%hive%\%~1\NativeMessagingHosts\%name%"
for %%M in ("%manifest%") do reg add "%key%" /ve /t REG_SZ /d "%%~fM" /f /reg:64 >nul
if errorlevel 1 goto register_failed
for %%M in ("%manifest%") do echo registered %name% for %~2: %key% = "%%~fM"
exit /b 0
:register_failed
if /i "%hive%"=="HKLM" echo install.cmd: cannot write %key%: --system needs an administrator's command prompt 1>&2
if /i not "%hive%"=="HKLM" echo install.cmd: cannot write %key% 1>&2
exit /b 1

:no_writer
echo install.cmd: quorvia-manifest.exe not found beside this script 1>&2
exit /b 2
:no_template
echo install.cmd: host-manifest.json.in not found beside this script 1>&2
exit /b 2
:no_host
for %%H in ("%host%") do echo install.cmd: host program not found: "%%~fH" - give --host PATH 1>&2
exit /b 2

:usage
echo usage: install.cmd [--system] [--host PATH] [--name NAME]
echo                    [--chrome-ids ID[,ID...]] [--firefox-ids ID[,ID...]]
echo.
echo Writes the host's manifests beside this script and registers them for the
echo current user, or with --system for every user of the machine.
echo   --chrome-ids   extension IDs allowed from Chrome, Chromium and Edge
echo   --firefox-ids  add-on IDs allowed from Firefox
echo   --host PATH    the host program (default: quorvia-host.exe beside this script)
echo   --name NAME    the native messaging host name (default: com.quorvia.deviceinfo)
echo At least one of --chrome-ids and --firefox-ids is required.
exit /b 0
