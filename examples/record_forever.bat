@echo off
rem Records one band around the clock, restarting VEXA_File when it fails.
rem
rem   record_forever.bat [band or kHz] [scale factor] [flags] [folder]
rem
rem Defaults: band 3, scale factor 16, flag C (16-bit files that every SDR program
rem reads the right way round), recordings in Recordings beside this file.
rem VEXA_File ends with exit code 0 when you stop it (a key, Ctrl+C) and 1 when it
rem fails (no receiver running yet, a band it can't record): then this waits a
rem minute and starts it again. Close the window to stop for good.
setlocal
set BAND=%~1
if "%BAND%"=="" set BAND=3
set SCALE=%~2
if "%SCALE%"=="" set SCALE=16
set FLAGS=%~3
if "%FLAGS%"=="" set FLAGS=C
set FOLDER=%~4
if "%FOLDER%"=="" set FOLDER=%~dp0Recordings
if not exist "%FOLDER%" mkdir "%FOLDER%"
if not exist "%FOLDER%\" (
  echo Can't make the folder %FOLDER%
  exit /b 1
)
cd /d "%FOLDER%"

:record
"%~dp0VEXA_File.exe" %BAND% %SCALE% %FLAGS%
if %errorlevel%==0 exit /b 0
echo VEXA_File ended with exit code %errorlevel%; starting it again in 60 seconds
timeout /t 60 /nobreak >nul
goto record
