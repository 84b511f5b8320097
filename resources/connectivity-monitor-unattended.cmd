@echo off
rem Starts the connectivity monitor unattended: no questions are waited for, the checks go on
rem every 30 seconds, and the log is kept in this folder. Close the window or press Ctrl+C to stop.
rem pushd, not cd: it also works when this folder is on a network share (a UNC path).
pushd "%~dp0"
"%~dp0connectivity-monitor.exe" <NUL
