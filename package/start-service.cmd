@echo off
rem Starts the installed Quorvel service and shows its state.
sc.exe start "Quorvel service"
sc.exe query "Quorvel service"
