@echo off
rem Gives the registered Quorvel service a SID of its own and makes its log
rem C:\log_QX.log, or judges the file that has the log's name, by running
rem quorvel-prepare.exe from beside this script; each outcome is a line it
rem prints. install-service.cmd calls it; the package runs the program itself.
rem Exit code 1 when the service or its log is not ready.
setlocal
"%~dp0quorvel-prepare.exe"
if errorlevel 1 exit /b 1
exit /b 0
