@echo off
rem Stops the Quorvel service and waits, up to ten seconds (past its stop's
rem wait hint), until it has stopped. Exit code 0 once it is stopped (or was);
rem 1 where it is not installed or did not stop in time. Run from an elevated
rem prompt.
setlocal EnableExtensions DisableDelayedExpansion
sc.exe query "Quorvel service" >nul 2>&1
if errorlevel 1 (
    echo The Quorvel service is not installed.
    exit /b 1
)
sc.exe stop "Quorvel service" >nul 2>&1
set /a WAITED=0
:stopping
rem Not "&&": Wine's cmd runs what follows it whatever the outcome.
sc.exe query "Quorvel service" | find "STOPPED" >nul
if not errorlevel 1 (
    echo The Quorvel service is stopped.
    exit /b 0
)
if %WAITED% geq 10 (
    echo The Quorvel service did not stop within ten seconds.
    exit /b 1
)
rem ping sends its echoes a second apart, so "-n 2" waits a second.
ping -n 2 127.0.0.1 >nul
set /a WAITED+=1
goto stopping
