@echo off
rem The bench loop on Windows, beside Tarnexio.exe: serves test hosts on a port, one per run
rem of the bridge, starting it again after each one, until Ctrl+C (then answer Y to end
rem the batch job). A run that ends with an error (nothing served: the port taken, no
rem driver) ends the loop with the bridge's exit code. The service of the MSI
rem (tarnexio-service.exe) does the same without a console.
rem
rem   tarnexio-loop.cmd [PORT [MODE [CAPTURE-DIRECTORY]]]
rem
rem PORT defaults to TARNEXIO_PORT or 2390, MODE (raw or diag) to TARNEXIO_MODE or raw.
rem A capture directory (here or in TARNEXIO_CAPTURE) gets one btsnoop file per run, named
rem by its start; it is created when missing.
setlocal EnableExtensions
set "port=%TARNEXIO_PORT%"
if "%port%"=="" set "port=2390"
set "mode=%TARNEXIO_MODE%"
if "%mode%"=="" set "mode=raw"
if not "%~1"=="" set "port=%~1"
if not "%~2"=="" set "mode=%~2"
if not "%~3"=="" set "TARNEXIO_CAPTURE=%~3"

if /i "%mode%"=="raw" (
  set "mode=raw"
) else if /i "%mode%"=="diag" (
  set "mode=diag"
) else (
  echo tarnexio-loop.cmd: the mode must be raw or diag, not '%mode%'
  exit /b 2
)
set "n="
set /a "n=%port%" 2>nul
if not "%n%"=="%port%" goto badport
if %n% lss 1 goto badport
if %n% gtr 65535 goto badport
if not "%~3"=="" if not exist "%~3\" mkdir "%~3"
if not "%~3"=="" if not exist "%~3\" (
  echo tarnexio-loop.cmd: cannot create the capture directory %~3
  exit /b 2
)

echo tarnexio-loop.cmd: serving test hosts on port %port% (%mode% mode), one per run of the bridge; Ctrl+C stops
:again
"%~dp0Tarnexio.exe" -p %port% -m %mode%
set "code=%errorlevel%"
if not "%code%"=="0" goto failed
echo tarnexio-loop.cmd: the test host is gone; starting the bridge again for the next one
goto again

:failed
echo tarnexio-loop.cmd: the bridge ended with exit code %code%; stopping
exit /b %code%

:badport
echo tarnexio-loop.cmd: the port must be a TCP port number from 1 to 65535, not '%port%'
exit /b 2
