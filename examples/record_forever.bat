@echo off
rem Records one band around the clock, starting VEXA_File again when it fails.
rem
rem   record_forever.bat [band or kHz] [scale factor] [flags] [folder] [budget]
rem
rem Defaults: band 3, scale factor 16, flag C (16-bit files with the short fmt
rem chunk; the README's layout table says which programs read which layout),
rem recordings in Recordings beside this file, no budget. A budget (500G: decimal
rem gigabytes, 72h: hours of this band) deletes the band's oldest recordings in the
rem folder whenever a new file starts, so that they never take more. To give a
rem budget without flags, write - for the flags: record_forever.bat 3 16 - D:\Rec 500G
rem
rem What VEXA_File's exit code makes this do:
rem   0  you stopped it (a key, Ctrl+C): this ends too
rem   1  it failed while running (no receiver running yet, a band it can't record):
rem      it is started again RETRY_SECONDS later (60; "set RETRY_SECONDS=10" first
rem      for less)
rem   2  its arguments are wrong: this ends, since starting again can't mend them
rem Close the window to stop for good.
setlocal EnableExtensions DisableDelayedExpansion
rem Quoted "set", and no folder name inside ( ... ) blocks: a folder whose name
rem holds ( ) & or spaces stays one word.
set "BAND=%~1"
if not defined BAND set "BAND=3"
set "SCALE=%~2"
if not defined SCALE set "SCALE=16"
set "FLAGS=%~3"
if not defined FLAGS set "FLAGS=C"
set "FOLDER=%~4"
if not defined FOLDER set "FOLDER=%~dp0Recordings"
set "BUDGET=%~5"
if not defined RETRY_SECONDS set "RETRY_SECONDS=60"
rem Taken before the cd: %~dp0 can go wrong after it.
set "PROGRAM=%~dp0VEXA_File.exe"
if not exist "%FOLDER%\" mkdir "%FOLDER%"
if exist "%FOLDER%\" goto folder_made
echo Can't make the folder "%FOLDER%"
exit /b 1
:folder_made
cd /d "%FOLDER%"

:record
"%PROGRAM%" %BAND% %SCALE% %FLAGS% %BUDGET%
set "CODE=%errorlevel%"
if "%CODE%"=="0" exit /b 0
if "%CODE%"=="1" goto retry
echo VEXA_File ended with exit code %CODE%: not started again, mend what it says above
exit /b %CODE%

:retry
echo VEXA_File ended with exit code 1; starting it again in %RETRY_SECONDS% seconds
rem ping waits about a second between its echoes; timeout.exe refuses to run
rem without a console keyboard.
set /a "PINGS=RETRY_SECONDS + 1"
ping -n %PINGS% 127.0.0.1 >nul
goto record
