@echo off
rem run-zub.bat LOG SETTINGS
rem
rem Runs zub.exe, which stands beside this file, on the two paths without
rem waiting for ENTER, shows what it said but its prompt, and ends with a
rem status that tells the outcomes apart by its last message:
rem
rem      0  ZUB converted: the log's value is in the settings file now
rem     91  Something is wrong, ZUB not found: the log has no value
rem     92  Bad file InBetween.ini, zub= not found: the settings file has no tag
rem     93  Then ZUB is converted and log file is deleted: ZUB was not given
rem         two paths (a path with blanks needs double quotes)
rem     94  what ZUB said could not be read
rem  other  Runtime error: ZUB's code (see README.txt)
rem
rem Call it as zub.exe:  run-zub.bat "C:\...\log.001" "C:\...\InBetween.ini"
rem and from another batch file with "call".
setlocal EnableExtensions DisableDelayedExpansion

rem A folder of its own for ZUB's output, so that runs at the same moment
rem never read each other's.
set tries=0
:name
set /a tries+=1
if %tries% gtr 100 (
  echo run-zub.bat: cannot make a folder in "%TEMP%"
  exit /b 94
)
set "work=%TEMP%\zub-%RANDOM%-%RANDOM%"
rem (call ) sets ERRORLEVEL to 0, which a mkdir that succeeds may leave.
(call )
mkdir "%work%" 2>nul
if errorlevel 1 goto name

rem Standard input is nul: zub.exe must not wait for ENTER, nor read what
rem the caller's input holds.
"%~dp0zub.exe" %* < nul > "%work%\output.txt"
set status=%ERRORLEVEL%

rem What ZUB said, but the prompt, which nobody answers here and which can
rem only be the last line: each line is shown once the next one is read.
rem The last line, and the one before it: the message stands before the
rem prompt, or last where no prompt follows it. (ZUB's lines hold no "!",
rem and its last line no double quote.)
setlocal EnableDelayedExpansion
set "last="
set "message="
for /f "usebackq delims=" %%L in ("%work%\output.txt") do (
  if defined last echo !last!
  set "message=!last!"
  set "last=%%L"
)
rd /s /q "%work%"
if not "!last!"=="Press ENTER to close ZUB Window" set "message=!last!"
if not "!last!"=="Press ENTER to close ZUB Window" if defined last echo !last!

if not "%status%"=="0" exit /b %status%
if "!message!"=="ZUB converted" exit /b 0
if "!message!"=="Something is wrong, ZUB not found" exit /b 91
if "!message!"=="Bad file InBetween.ini, zub= not found" exit /b 92
if "!message!"=="Then ZUB is converted and log file is deleted" exit /b 93
exit /b 94
