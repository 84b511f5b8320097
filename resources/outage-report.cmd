@echo off
rem Writes outages.html from the log in the current folder and opens it in the default browser.
rem The Outage report shortcut starts it in the log folder; a problem stays on the screen.
"%~dp0connectivity-report.exe" connectivityLog.txt --html outages.html --open
if errorlevel 1 pause
