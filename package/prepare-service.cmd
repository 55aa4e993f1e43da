@echo off
rem Gives the registered Quorvel service a SID of its own, and makes its log
rem C:\log_QX.log a plain file that only Administrators, SYSTEM and the
rem service itself may use. install-service.cmd calls it; the package ships it
rem and runs it as SYSTEM. Each step runs only if the one before succeeded; a
rem failure says why and ends the script with exit code 1. The log is never
rem truncated.
setlocal EnableExtensions DisableDelayedExpansion
set "LOG=C:\log_QX.log"
set "SERVICE=Quorvel service"

rem Wine (known by its own registry key) has no "sc sidtype": it fails there
rem with exit code 1 and no word. Its icacls accepts anything and changes
rem nothing, as Wine enforces no access lists. Its cmd runs both sides of
rem "&&" and "||" alike, so every step here is checked with "if errorlevel".
set "WINE="
reg query HKLM\Software\Wine >nul 2>&1
if not errorlevel 1 set "WINE=1"

rem With a SID of its own the service alone, not every service that runs as
rem LocalService, can be given the log (and its pipe's full-access entry).
sc.exe sidtype "%SERVICE%" unrestricted
set "RC=%errorlevel%"
if "%RC%"=="1" if defined WINE (
    echo Wine's sc has no sidtype: the service runs without a SID of its own.
    set "RC=0"
)
if not "%RC%"=="0" (
    echo Cannot give "%SERVICE%" a SID of its own: sc sidtype failed with %RC%.
    exit /b 1
)

rem Any user may create files and folders in C:\, so the name may be taken.
rem Refuse a folder, and a link or junction, through which the access list
rem below would land on whatever it points to; look again once the file is
rem made, in case it was swapped in between.
call :plain_file
if errorlevel 1 exit /b 1
rem A failed redirection leaves the exit code as it was: look for the file.
type nul >> "%LOG%"
if not exist "%LOG%" (
    echo Cannot create %LOG%.
    exit /b 1
)
call :plain_file
if errorlevel 1 exit /b 1
rem The owner may always rewrite the access list, and a user who made the file
rem owns it: the owner becomes Administrators first. /L acts on the name
rem itself, never on a link's target.
icacls "%LOG%" /setowner *S-1-5-32-544 /L >nul
if errorlevel 1 goto icacls_failed
rem Entries the list already has stay unless removed: the Modify that 1.0.0
rem gave LocalService (S-1-5-19), and what the broad groups may have been
rem given (NetworkService, Everyone, Authenticated Users, Users).
icacls "%LOG%" /remove:g *S-1-5-19 *S-1-5-20 *S-1-1-0 *S-1-5-11 *S-1-5-32-545 /L >nul
if errorlevel 1 goto icacls_failed
rem Then no inherited entries (C:\ lets every user read): Administrators and
rem SYSTEM (by SID, as names change with the language), and the service only
rem what the log writer's open uses: append data, and the synchronize and
rem read-attributes rights that every open asks for.
icacls "%LOG%" /inheritance:r /grant:r *S-1-5-32-544:(F) *S-1-5-18:(F) "NT SERVICE\%SERVICE%:(AD,RA,S)" /L >nul
if errorlevel 1 goto icacls_failed
if defined WINE echo Wine's icacls changes nothing: %LOG% keeps the access Wine gives every file.
exit /b 0

:icacls_failed
echo Cannot set the owner and access list of %LOG%.
exit /b 1

:plain_file
set "ATTR="
for %%F in ("%LOG%") do set "ATTR=%%~aF"
if not defined ATTR exit /b 0
if not "%ATTR:l=%"=="%ATTR%" (
    echo %LOG% is a link or junction, not a file: remove it, then install again.
    exit /b 1
)
if not "%ATTR:d=%"=="%ATTR%" (
    echo %LOG% is a folder, not a file: remove it, then install again.
    exit /b 1
)
exit /b 0
