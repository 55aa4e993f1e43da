@echo off
rem Registers the Quorvel service and starts it. Run from an elevated prompt:
rem   install-service.cmd PATH\quorvel-service.exe [ACCOUNT]
rem ACCOUNT defaults to "NT AUTHORITY\LocalService", a low-privilege account:
rem the service then reads only files that account may read. Pass LocalSystem
rem to run with full rights (not recommended: every client may name any file).
setlocal
if "%~1"=="" (
    echo usage: %~nx0 PATH\quorvel-service.exe [ACCOUNT]
    exit /b 2
)
set "EXE=%~f1"
if not exist "%EXE%" (
    echo %EXE% not found
    exit /b 1
)
set "ACCOUNT=%~2"
if "%ACCOUNT%"=="" set "ACCOUNT=NT AUTHORITY\LocalService"

rem The log lives at C:\log_QX.log; a low-privilege account cannot create files
rem in C:\, so the file is made here and the account given the right to append.
rem It holds every client's paths: rather than C:\'s access list (read for all
rem local users) it gets its own, Administrators and SYSTEM (by SID, as names
rem change with the language) and the service's account only.
set "LOGACCOUNT=%ACCOUNT%"
if /i "%ACCOUNT%"=="NT AUTHORITY\LocalService" set "LOGACCOUNT=*S-1-5-19"
if not exist C:\log_QX.log type nul > C:\log_QX.log
icacls C:\log_QX.log /inheritance:r /grant:r *S-1-5-32-544:(F) *S-1-5-18:(F) >nul
if errorlevel 1 exit /b 1
if /i not "%ACCOUNT%"=="LocalSystem" icacls C:\log_QX.log /grant:r "%LOGACCOUNT%:(M)" >nul
if errorlevel 1 exit /b 1

if /i "%ACCOUNT%"=="LocalSystem" (
    sc.exe create "Quorvel service" binPath= "\"%EXE%\"" type= own start= auto
) else (
    sc.exe create "Quorvel service" binPath= "\"%EXE%\"" type= own start= auto obj= "%ACCOUNT%"
)
if errorlevel 1 exit /b 1
sc.exe description "Quorvel service" "Counts the spaces of files named over the pipe \\.\Pipe\$MyPipe$"
rem After a crash the manager restarts the service 5 s later, twice; the third
rem action (none) then holds until a day without failure resets the count.
sc.exe failure "Quorvel service" reset= 86400 actions= restart/5000/restart/5000/""/0
sc.exe start "Quorvel service"
if errorlevel 1 exit /b 1
sc.exe query "Quorvel service"
