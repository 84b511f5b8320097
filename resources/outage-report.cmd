@echo off
rem Writes outages.html from the log in a folder and opens it in the default browser: the folder
rem given (the Start menu's Outage report gives the log folder), else this script's own, where
rem the .zip keeps the log. pushd, not cd: it also works on a network share (a UNC path).
set "folder=%~1"
if not defined folder set "folder=%~dp0"
pushd "%folder%"
"%~dp0connectivity-report.exe" connectivityLog.txt --html outages.html --open
if errorlevel 1 pause
