@echo off
rem Stops the Quorvel service and removes its registration. Run from an
rem elevated prompt. The log C:\log_QX.log is kept.
setlocal
sc.exe query "Quorvel service" >nul 2>&1
if errorlevel 1 (
    echo The Quorvel service is not installed.
    exit /b 0
)
sc.exe stop "Quorvel service" >nul 2>&1
rem Stopping takes a moment; wait up to ten seconds for STOPPED.
for /l %%i in (1,1,20) do (
    sc.exe query "Quorvel service" | find "STOPPED" >nul && goto stopped
    ping -n 1 -w 500 127.0.0.1 >nul
)
:stopped
sc.exe delete "Quorvel service"
