@echo off
rem Plays one band on a sound device (or a virtual audio cable), I left, Q right.
rem
rem   play.bat [band or kHz] [device] [scale factor]
rem
rem Defaults: band 3, the system's default device (-1), scale factor 16.
rem "VEXA_Wave.exe" alone lists the devices with their numbers. A key stops it.
setlocal
set BAND=%~1
if "%BAND%"=="" set BAND=3
set DEVICE=%~2
if "%DEVICE%"=="" set DEVICE=-1
set SCALE=%~3
if "%SCALE%"=="" set SCALE=16
"%~dp0VEXA_Wave.exe" %BAND% %DEVICE% %SCALE%
