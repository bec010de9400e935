@echo off
rem Removes what install.cmd registered: the browsers' registry keys for the
rem host and the manifests beside this script. See "uninstall.cmd --help".
setlocal EnableExtensions DisableDelayedExpansion
rem Failures are tested with "if errorlevel" on the next line, never with
rem "||": Wine's cmd runs the right side of "||" even after a success.

rem Runs in its own folder with relative names, entered before "shift" moves
rem %0, never keeping the folder's path in a variable: see install.cmd.
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
set "writer=quorvia-manifest.exe"
set "browsers="
set "k_google="
set "k_chromium="
set "k_edge="
set "k_mozilla="

:args
if "%~1"=="" goto parsed
if /i "%~1"=="--system" goto opt_system
if /i "%~1"=="--name" goto opt_name
if /i "%~1"=="--browsers" goto opt_browsers
if /i "%~1"=="--help" goto usage
if "%~1"=="/?" goto usage
echo uninstall.cmd: unknown argument "%~1" (see uninstall.cmd --help) 1>&2
goto fail

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

rem The keys the browsers read, as in install.cmd.
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
if /i "%arg%"=="all" set "browsers="
if /i "%arg%"=="all" set "key=all"
if not defined key goto unknown_browser
set "k_%key%=1"
shift
goto browsers_more

:unknown_browser
echo uninstall.cmd: unknown browser "%arg%": choose from chrome, chrome-beta, chrome-dev, chrome-canary, chromium, edge, edge-beta, edge-dev, brave, vivaldi, opera, firefox, or all 1>&2
goto fail

:missing_value
echo uninstall.cmd: %~1 needs a value 1>&2
:fail
popd
exit /b 2

:parsed
if defined browsers goto chosen
set "k_google=1"
set "k_chromium=1"
set "k_edge=1"
set "k_mozilla=1"
:chosen
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
if defined k_google call :unregister "Software\Google\Chrome" "chrome, chrome-beta, chrome-dev, chrome-canary, opera"
if defined k_chromium call :unregister "Software\Chromium" "chromium, brave, vivaldi"
if defined k_edge call :unregister "Software\Microsoft\Edge" "edge, edge-beta, edge-dev"
if defined k_mozilla call :unregister "Software\Mozilla" firefox
rem A manifest goes once no key of this script can name it any more.
if defined browsers goto removed
if exist "%name%.chrome.json" del /f /q "%name%.chrome.json"
if exist "%name%.firefox.json" del /f /q "%name%.firefox.json"
:removed
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
echo usage: uninstall.cmd [--system] [--name NAME] [--browsers LIST^|all]
echo.
echo Removes the host's registry keys for every browser (with --browsers, only
echo the keys those browsers read: see install.cmd --help), for the current user
echo or with --system for the machine, and, without --browsers, the manifests
echo beside this script.
popd
exit /b 0
