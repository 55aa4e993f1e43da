@echo off
rem Stops the Quorvel service and removes its registration, waiting up to ten
rem seconds for each, so that an install right after finds the name free, and
rem removes its event source. Run from an elevated prompt. The log
rem C:\log_QX.log is kept.
setlocal EnableExtensions
reg delete "HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Quorvel service" /f >nul 2>&1
sc.exe query "Quorvel service" >nul 2>&1
if errorlevel 1 (
    echo The Quorvel service is not installed.
    exit /b 0
)
sc.exe stop "Quorvel service" >nul 2>&1
set /a WAITED=0
:stopping
rem Not "&&": Wine's cmd runs what follows it whatever the outcome.
sc.exe query "Quorvel service" | find "STOPPED" >nul
if not errorlevel 1 goto stopped
if %WAITED% geq 10 (
    echo The Quorvel service did not stop within ten seconds; it is removed once it does.
    goto stopped
)
rem ping sends its echoes a second apart, so "-n 2" waits a second on any
rem machine ("-w" bounds only a reply that never comes: none on the loopback).
ping -n 2 127.0.0.1 >nul
set /a WAITED+=1
goto stopping

:stopped
sc.exe delete "Quorvel service"
rem 1072: an earlier removal marked it already; wait for it all the same.
if errorlevel 1 if not "%errorlevel%"=="1072" exit /b 1
rem Until its process and every handle to it are gone the service is only
rem marked for deletion, and an install fails with 1072. Its registry key goes
rem with it.
set /a WAITED=0
:deleting
reg query "HKLM\SYSTEM\CurrentControlSet\Services\Quorvel service" >nul 2>&1
if errorlevel 1 exit /b 0
if %WAITED% geq 10 (
    echo "Quorvel service" is still marked for deletion after ten seconds: close
    echo what holds it ^(a Services window, a running quorvel-service.exe^).
    exit /b 1
)
ping -n 2 127.0.0.1 >nul
set /a WAITED+=1
goto deleting
