@echo off
rem Registers the Quorvel service and starts it. Run from an elevated prompt:
rem   install-service.cmd PATH\quorvel-service.exe [ACCOUNT]
rem ACCOUNT defaults to "NT AUTHORITY\LocalService", a low-privilege account:
rem the service then reads only files that account may read. No password is
rem passed, so only an account without one will do: LocalService,
rem "NT AUTHORITY\NetworkService", or LocalSystem to run with full rights (not
rem recommended: every client may name any file).
rem prepare-service.cmd, beside this script, has quorvel-prepare.exe, beside
rem it too, give the service a SID of its own and its restart after every
rem failure, and make its log C:\log_QX.log; start-service.cmd then starts it.
rem Exit code 0 once it runs; where the preparation fails, 1, and the service
rem is neither started nor left registered.
setlocal EnableExtensions DisableDelayedExpansion
if "%~1"=="" (
    echo usage: %~nx0 PATH\quorvel-service.exe [ACCOUNT]
    exit /b 2
)
rem Taken before delayed expansion is on, which would eat a "!" in a path. From
rem here on paths are used as !NAME!, expanded after cmd has parsed the line,
rem so a folder such as "Program Files (x86)" or "A & B" can end no block and
rem split no command.
set "EXE=%~f1"
set "ACCOUNT=%~2"
set "HERE=%~dp0"
setlocal EnableDelayedExpansion
if not exist "!EXE!" (
    echo !EXE! not found
    exit /b 1
)
if "!ACCOUNT!"=="" set "ACCOUNT=NT AUTHORITY\LocalService"

if /i "!ACCOUNT!"=="LocalSystem" (
    sc.exe create "Quorvel service" binPath= "\"!EXE!\"" type= own start= auto
) else (
    sc.exe create "Quorvel service" binPath= "\"!EXE!\"" type= own start= auto obj= "!ACCOUNT!"
)
if errorlevel 1 exit /b 1
sc.exe description "Quorvel service" "Counts the spaces of files named over the pipe \\.\Pipe\$MyPipe$"
rem The service's event source, under which quorvel-prepare.exe reports each
rem outcome to the Application event log; its message is in that program.
set "SOURCE=HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Quorvel service"
reg add "!SOURCE!" /v EventMessageFile /t REG_EXPAND_SZ /d "!HERE!quorvel-prepare.exe" /f >nul
reg add "!SOURCE!" /v TypesSupported /t REG_DWORD /d 7 /f >nul

rem Called from its own folder: "call" with the folder's name would expand a
rem percent sign in it a second time.
pushd "!HERE!"
if errorlevel 1 exit /b 1
call .\prepare-service.cmd
set "RC=!errorlevel!"
popd
if not "!RC!"=="0" (
    echo The service is not started; its registration is removed. Why is said above
    echo and in the Application event log.
    sc.exe delete "Quorvel service" >nul
    reg delete "!SOURCE!" /f >nul 2>&1
    exit /b 1
)
rem Waits for it to run, and says why where it does not.
pushd "!HERE!"
if errorlevel 1 exit /b 1
call .\start-service.cmd
set "RC=!errorlevel!"
popd
exit /b !RC!
