@echo off
rem Records one band around the clock. VEXA_File is started again whenever it
rem ends by itself, a crash included; only your stop or wrong arguments end this.
rem
rem   record_forever.bat [band or kHz] [scale factor] [flags] [folder] [budget]
rem
rem Defaults: band 3, scale factor 16, flag C (the layout most programs read),
rem recordings in Recordings beside this file, no budget. A budget (500G: decimal
rem gigabytes, 72h: hours of this band) keeps the band's recordings in the folder
rem within it. For a budget without flags write - for the flags:
rem   record_forever.bat 3 16 - D:\Recordings 500G
rem
rem What VEXA_File's exit code makes this do:
rem   0      you stopped it (a key, Ctrl+C): this ends too
rem   2      its arguments are wrong: this ends, starting again can't mend them
rem   other  1 (no receiver yet, a band it can't record), a crash (-1073741819 is
rem          an access violation) or any other: it starts again RETRY_SECONDS
rem          later (60; type "set RETRY_SECONDS=10" before this for less)
rem Close the window to stop for good.
setlocal EnableExtensions DisableDelayedExpansion
rem Quoted "set" and no bracketed blocks: a folder name with brackets, an
rem ampersand or spaces stays one word, and each line reads the exit code of
rem the moment it runs.
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
rem Taken before the cd, which can change what the batch file's own path gives.
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
if "%CODE%"=="2" goto wrong_arguments
echo VEXA_File ended with exit code %CODE%; starting it again in %RETRY_SECONDS% seconds
rem ping waits about a second between its echoes; timeout.exe refuses to run
rem without a console keyboard.
set /a "PINGS=RETRY_SECONDS + 1"
ping -n %PINGS% 127.0.0.1 >nul
goto record

:wrong_arguments
echo VEXA_File ended with exit code 2: not started again, mend what it says above
exit /b 2
