@echo off
rem Starts the installed Quorvel service and waits, up to thirty seconds (its
rem start's wait hint), until it runs. Exit code 0 once it runs; where it
rem stops instead, the service's exit code and a line saying why, or sc's
rem where the manager would not start it; 1 where it is not installed or
rem never came to run in time. Run from an elevated prompt.
setlocal EnableExtensions DisableDelayedExpansion
sc.exe query "Quorvel service" >nul 2>&1
if errorlevel 1 (
    echo The Quorvel service is not installed.
    exit /b 1
)
rem 1056: it runs already; any other refusal shows once it is seen stopped.
sc.exe start "Quorvel service" >nul 2>&1
set "REFUSED=%errorlevel%"
set /a WAITED=0
:starting
set "STATE=" & set "CODE=0" & set "SPECIFIC=0"
for /f "tokens=1,3" %%a in ('sc.exe query "Quorvel service"') do (
    if "%%a"=="STATE" set "STATE=%%b"
    if "%%a"=="WIN32_EXIT_CODE" set "CODE=%%b"
    if "%%a"=="SERVICE_EXIT_CODE" set "SPECIFIC=%%b"
)
if "%STATE%"=="4" (
    echo The Quorvel service is running.
    exit /b 0
)
if "%STATE%"=="1" goto stopped
if %WAITED% geq 30 (
    echo The Quorvel service did not come to run within thirty seconds ^(state %STATE%^).
    exit /b 1
)
rem ping sends its echoes a second apart, so "-n 2" waits a second on any
rem machine ("-w" bounds only a reply that never comes: none on the loopback).
ping -n 2 127.0.0.1 >nul
set /a WAITED+=1
goto starting

:stopped
if not "%REFUSED%"=="0" (
    echo The service manager would not start the Quorvel service: sc.exe exited with %REFUSED%.
    exit /b %REFUSED%
)
rem 1066: the code is the service's own.
if "%CODE%"=="1066" set "CODE=%SPECIFIC%"
if "%CODE%"=="0" (
    echo The Quorvel service stopped before it came to run, with no error: it was stopped.
    exit /b 1
)
echo The Quorvel service stopped instead of starting, with exit code %CODE%: its reason
echo is in C:\log_QX.log ^(CreateNamedPipe: Error 231 or 5: another program holds
echo the pipe's name^).
exit /b %CODE%
