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
rem below would land on whatever it points to; look again once the log is
rem there, in case it was swapped in between.
call :plain_file
if errorlevel 1 exit /b 1
if exist "%LOG%" goto log_there
call :make_log
if errorlevel 1 exit /b 1
:log_there
rem Wine's mklink leaves the exit code at 0 when it fails: look for the file.
if not exist "%LOG%" (
    echo Cannot create %LOG%.
    exit /b 1
)
rem From here on the log is one made before, or the new one (or, under Wine,
rem whose mklink says nothing, a file that took the name meanwhile): the same
rem steps serve all.
call :plain_file
if errorlevel 1 exit /b 1
call :one_name
if errorlevel 1 exit /b 1
call :secure "%LOG%"
if errorlevel 1 exit /b 1
if defined WINE echo Wine's icacls changes nothing: %LOG% keeps the access Wine gives every file.
exit /b 0

:make_log
rem A file made in C:\ takes the drive's access list, which lets every user
rem read it, and a user who opens it before its own list is set keeps reading
rem every line through that handle. So the log is made, and given its owner
rem and list, in a folder of C:\ (a hard link needs the same volume) that only
rem Administrators and SYSTEM can reach, then given its name by a hard link:
rem the same file, so the same owner and list, and mklink fails rather than
rem take a name that exists.
set /a TRIES=0
:make_stage
set /a TRIES+=1
if %TRIES% gtr 5 (
    echo Cannot make a staging folder for %LOG% in C:\ ^(tried five names^).
    exit /b 1
)
rem mkdir fails if the name exists, whoever made it: then another name.
set "STAGE=C:\log_QX-staging-%RANDOM%%RANDOM%"
mkdir "%STAGE%" 2>nul
if errorlevel 1 goto make_stage
set "STAGED=%STAGE%\log_QX.log"
icacls "%STAGE%" /inheritance:r /grant:r *S-1-5-32-544:(OI)(CI)(F) *S-1-5-18:(OI)(CI)(F) >nul
if errorlevel 1 (
    echo Cannot restrict the staging folder %STAGE% to Administrators and SYSTEM.
    rmdir "%STAGE%"
    exit /b 1
)
rem Until its list was cut any user could add to the folder. Whatever stands
rem under the log's name is not ours and is left untouched: del would empty a
rem folder a junction points to.
if exist "%STAGED%" (
    echo %STAGED% was there before the folder was closed to other users: remove %STAGE%, then install again.
    exit /b 1
)
type nul > "%STAGED%"
if not exist "%STAGED%" (
    echo Cannot create %STAGED%.
    rmdir "%STAGE%"
    exit /b 1
)
call :secure "%STAGED%"
set "RC=%errorlevel%"
rem It fails when a file took the name meanwhile, which is not ours to adopt.
rem Wine's mklink leaves the exit code at 0 when it fails: there the caller
rem looks at what stands there.
if "%RC%"=="0" (
    mklink /H "%LOG%" "%STAGED%" >nul
    if errorlevel 1 set "RC=2"
)
del "%STAGED%"
rmdir "%STAGE%"
rem A staged name left behind would be a second name of the log.
if exist "%STAGE%\" (
    echo Cannot remove the staging folder %STAGE%: remove it, then install again.
    exit /b 1
)
if "%RC%"=="2" (
    echo Cannot give the new log the name %LOG%: mklink failed ^(another file took the name meanwhile?^). Remove what is there, then install again.
    exit /b 1
)
exit /b %RC%

:secure
rem Gives the file it is called with the log's owner and access list, acting on
rem the name itself (/L), never on a link's target. The owner may always
rem rewrite the access list, and a user who made the file owns it: the owner
rem becomes Administrators first.
icacls "%~1" /setowner *S-1-5-32-544 /L >nul
if errorlevel 1 goto icacls_failed
rem Entries the list already has stay unless removed: the Modify that 1.0.0
rem gave LocalService (S-1-5-19), and what the broad groups may have been
rem given (NetworkService, Everyone, Authenticated Users, Users).
icacls "%~1" /remove:g *S-1-5-19 *S-1-5-20 *S-1-1-0 *S-1-5-11 *S-1-5-32-545 /L >nul
if errorlevel 1 goto icacls_failed
rem Then no inherited entries (C:\ lets every user read): Administrators and
rem SYSTEM (by SID, as names change with the language), and the service only
rem what the log writer's open uses: append data, and the synchronize and
rem read-attributes rights that every open asks for.
icacls "%~1" /inheritance:r /grant:r *S-1-5-32-544:(F) *S-1-5-18:(F) "NT SERVICE\%SERVICE%:(AD,RA,S)" /L >nul
if errorlevel 1 goto icacls_failed
exit /b 0

:icacls_failed
echo Cannot set the owner and access list of %~1.
exit /b 1

:one_name
rem A hard link in the log's place is no reparse point: the steps above let it
rem pass, and the owner and access list would land on the file it names.
rem fsutil prints one line per name. A 32-bit cmd on 64-bit Windows takes the
rem system's own fsutil through Sysnative, where it is.
set "FSUTIL=fsutil.exe"
if exist "%SystemRoot%\Sysnative\fsutil.exe" set "FSUTIL=%SystemRoot%\Sysnative\fsutil.exe"
"%FSUTIL%" hardlink list "%LOG%" >nul 2>&1
set "RC=%errorlevel%"
rem Wine's fsutil has no "hardlink list": it prints its usage and fails.
if not "%RC%"=="0" if defined WINE (
    echo Wine's fsutil cannot list a file's names: a hard link in place of %LOG% is not looked for.
    exit /b 0
)
if not "%RC%"=="0" (
    echo Cannot list the names of %LOG%: fsutil hardlink list failed with %RC%.
    exit /b 1
)
set /a NAMES=0
for /f "delims=" %%N in ('""%FSUTIL%" hardlink list "%LOG%""') do set /a NAMES+=1
if %NAMES% gtr 1 (
    echo %LOG% has more than one name ^(a hard link^), not a file of its own: remove it, then install again.
    exit /b 1
)
if %NAMES% lss 1 (
    echo Cannot list the names of %LOG%: fsutil hardlink list printed none.
    exit /b 1
)
exit /b 0

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
