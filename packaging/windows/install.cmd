@echo off
rem Registers the Quorvia host with Chrome, Chromium, Edge and Firefox on
rem Windows: writes the manifests beside this script and points each
rem browser's registry key at them. See "install.cmd --help".
setlocal EnableExtensions DisableDelayedExpansion
rem Failures are tested with "if errorlevel" on the next line, never with
rem "||": Wine's cmd runs the right side of "||" even after a success.

rem The work runs in the script's own folder with relative names: entered
rem here, before "shift" moves %0 on to the arguments, so that the script
rem works run by full or relative path from any folder, and from a UNC path
rem (cmd refuses a UNC current folder; pushd gives a network path a temporary
rem drive letter, as Microsoft's pushd reference says). The
rem folder is never kept in a variable: it may be named "100% ^ & ! (x86)",
rem and "call" (and Wine's cmd everywhere) would expand its % and ^ once
rem more. Full paths come from for-variables (%%~f), which nothing expands
rem again.
pushd "%~dp0" 2>nul
if not errorlevel 1 goto entered
rem Wine's cmd expands a percent sign in the script's own path once more,
rem and misses the folder; there it comes from %0 as typed, through a
rem for-variable.
for %%I in (%0) do pushd "%%~dpI"
if errorlevel 1 exit /b 2
:entered
set "hive=HKCU"
set "name=com.quorvia.deviceinfo"
set "host=quorvia-host.exe"
set "chrome="
set "firefox="
set "writer=quorvia-manifest.exe"
set "template=host-manifest.json.in"
set "browsers="
set "all="
set "k_google="
set "k_chromium="
set "k_edge="
set "k_mozilla="

rem Values are read with goto, never inside ( ) blocks: a path such as
rem "C:\Program Files (x86)" would close the block early.
:args
if "%~1"=="" goto parsed
if /i "%~1"=="--system" goto opt_system
if /i "%~1"=="--host" goto opt_host
if /i "%~1"=="--name" goto opt_name
if /i "%~1"=="--chrome-ids" goto opt_chrome
if /i "%~1"=="--firefox-ids" goto opt_firefox
if /i "%~1"=="--browsers" goto opt_browsers
if /i "%~1"=="--help" goto usage
if "%~1"=="/?" goto usage
rem In double quotes, so that an argument holding & or > stays text.
echo install.cmd: unknown argument "%~1" (see install.cmd --help) 1>&2
goto fail

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

rem Each browser is registered through the key it reads: Chrome (every
rem channel) reads Software\Google\Chrome only, and so does Opera by its own
rem documentation; a Chromium build that is not Google Chrome's (Chromium,
rem Brave, Vivaldi) reads Software\Chromium first, then Chrome's; every Edge
rem channel reads Software\Microsoft\Edge (Chromium's
rem native_process_launcher_win.cc, Opera's and Microsoft's native messaging
rem pages). A key several browsers share is written once.
:opt_browsers
set "arg=%~2"
if not defined arg goto missing_value
if "%arg:~0,2%"=="--" goto missing_value
shift
set "browsers=1"
:browsers_more
set "arg=%~1"
if not defined arg goto args
if "%arg:~0,2%"=="--" goto args
set "key="
for %%B in (chrome chrome-beta chrome-dev chrome-canary opera) do if /i "%arg%"=="%%B" set "key=google"
for %%B in (chromium brave vivaldi) do if /i "%arg%"=="%%B" set "key=chromium"
for %%B in (edge edge-beta edge-dev) do if /i "%arg%"=="%%B" set "key=edge"
if /i "%arg%"=="firefox" set "key=mozilla"
if /i "%arg%"=="all" set "all=1"
if /i "%arg%"=="all" set "key=all"
if not defined key goto unknown_browser
set "k_%key%=1"
shift
goto browsers_more

:unknown_browser
echo install.cmd: unknown browser "%arg%": choose from chrome, chrome-beta, chrome-dev, chrome-canary, chromium, edge, edge-beta, edge-dev, brave, vivaldi, opera, firefox, or all 1>&2
goto fail

:missing_value
echo install.cmd: %~1 needs a value 1>&2
goto fail

:parsed
if defined chrome goto have_ids
if defined firefox goto have_ids
echo install.cmd: no extension IDs given: name the extensions allowed to call the host with --chrome-ids and/or --firefox-ids 1>&2
goto fail
:have_ids
rem Without --browsers, or with all: every key of the families given.
if defined browsers if not defined all goto chosen
if defined chrome set "k_google=1"
if defined chrome set "k_chromium=1"
if defined chrome set "k_edge=1"
if defined firefox set "k_mozilla=1"
:chosen
if defined chrome goto chrome_ok
if defined k_google goto no_chrome_ids
if defined k_chromium goto no_chrome_ids
if defined k_edge goto no_chrome_ids
:chrome_ok
if defined k_mozilla if not defined firefox goto no_firefox_ids
call :main
set "status=%errorlevel%"
popd
exit /b %status%

:no_chrome_ids
echo install.cmd: a Chromium-family browser chosen but no --chrome-ids given 1>&2
goto fail
:no_firefox_ids
echo install.cmd: firefox chosen but no --firefox-ids given 1>&2
:fail
popd
exit /b 2

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
if not defined k_google if not defined k_chromium if not defined k_edge goto write_firefox
"%writer%" --template "%template%" --out "%chrome_manifest%" --host "%host%" --name "%name%" --chrome-ids "%chrome%"
if errorlevel 1 exit /b 2
set "manifest=%chrome_manifest%"
if not defined k_google goto register_chromium
call :register "Software\Google\Chrome" "chrome, chrome-beta, chrome-dev, chrome-canary, opera"
if errorlevel 1 exit /b 1
:register_chromium
if not defined k_chromium goto register_edge
call :register "Software\Chromium" "chromium, brave, vivaldi"
if errorlevel 1 exit /b 1
:register_edge
if not defined k_edge goto write_firefox
call :register "Software\Microsoft\Edge" "edge, edge-beta, edge-dev"
if errorlevel 1 exit /b 1
:write_firefox
if not defined k_mozilla exit /b 0
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
echo usage: install.cmd [--system] [--host PATH] [--name NAME] [--browsers LIST^|all]
echo                    [--chrome-ids ID[,ID...]] [--firefox-ids ID[,ID...]]
echo.
echo Writes the host's manifests beside this script and registers them for the
echo current user, or with --system for every user of the machine.
echo   --chrome-ids   extension IDs allowed from the Chromium family
echo   --firefox-ids  add-on IDs allowed from Firefox
echo   --host PATH    the host program (default: quorvia-host.exe beside this script)
echo   --name NAME    the native messaging host name (default: com.quorvia.deviceinfo)
echo   --browsers     only the registry keys these browsers read, or all:
echo                  chrome, chrome-beta, chrome-dev, chrome-canary, opera (one key),
echo                  chromium, brave, vivaldi (one key), edge, edge-beta, edge-dev
echo                  (one key), firefox (default: every key of the families given)
echo At least one of --chrome-ids and --firefox-ids is required.
popd
exit /b 0
