@echo off
rem Writes one channel of a band as WSJT-X's decoders read it, around the clock:
rem a 12000 Hz mono file per cycle, starting VEXA_File again when it fails.
rem
rem   spool_forever.bat [band or kHz] [mode] [Hz] [seconds] [folder] [budget]
rem
rem Defaults: band 3, usb, dial 14074000 Hz (FT8 on 20 m), 15 s cycles (FT8;
rem 120 for WSPR), files in Channels\<Hz>_<mode>_<seconds>s beside this file:
rem one folder per channel, since every channel names its files alike
rem (YYMMDD_HHMMSS.wav, UTC). No budget unless given (2G: decimal gigabytes,
rem 72h: hours of this channel); with one, the oldest cycle files in the folder
rem are deleted whenever a new one starts, so that they never take more. Run one
rem of these per channel, each in its own window.
rem
rem What VEXA_File's exit code makes this do:
rem   0  you stopped it (a key, Ctrl+C): this ends too
rem   2  its arguments are wrong: this ends, since starting again can't mend them
rem   any other code (1: no receiver running yet, a band it can't follow; or a
rem      crash): it is started again RETRY_SECONDS later (60; "set
rem      RETRY_SECONDS=10" first for less)
rem Close the window to stop for good.
setlocal EnableExtensions DisableDelayedExpansion
rem Quoted "set", and no folder name inside ( ... ) blocks: a folder whose name
rem holds ( ) & or spaces stays one word.
set "BAND=%~1"
if not defined BAND set "BAND=3"
set "MODE=%~2"
if not defined MODE set "MODE=usb"
set "HZ=%~3"
if not defined HZ set "HZ=14074000"
set "SECONDS=%~4"
if not defined SECONDS set "SECONDS=15"
set "FOLDER=%~5"
if not defined FOLDER set "FOLDER=%~dp0Channels\%HZ%_%MODE%_%SECONDS%s"
set "BUDGET=%~6"
if not defined RETRY_SECONDS set "RETRY_SECONDS=60"
set "BUDGET_OPTION="
if defined BUDGET set "BUDGET_OPTION=--budget %BUDGET%"
rem Taken before the cd: %~dp0 can go wrong after it.
set "PROGRAM=%~dp0VEXA_File.exe"
if not exist "%FOLDER%\" mkdir "%FOLDER%"
if exist "%FOLDER%\" goto folder_made
echo Can't make the folder "%FOLDER%"
exit /b 1
:folder_made
cd /d "%FOLDER%"

:spool
"%PROGRAM%" %BAND% --demod %MODE% --freq %HZ% --spool %SECONDS% %BUDGET_OPTION%
set "CODE=%errorlevel%"
if "%CODE%"=="0" exit /b 0
if "%CODE%"=="2" goto wrong
echo VEXA_File ended with exit code %CODE%; starting it again in %RETRY_SECONDS% seconds
rem ping waits about a second between its echoes; timeout.exe refuses to run
rem without a console keyboard.
set /a "PINGS=RETRY_SECONDS + 1"
ping -n %PINGS% 127.0.0.1 >nul
goto spool

:wrong
echo VEXA_File ended with exit code 2: not started again, mend what it says above
exit /b 2
