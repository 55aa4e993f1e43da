@echo off
rem Stops the Quorvel service and shows its state.
sc.exe stop "Quorvel service"
sc.exe query "Quorvel service"
