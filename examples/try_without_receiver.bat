@echo off
rem Starts the receiver simulator in a window of its own: band 0 at 7050 kHz with
rem a tone 20 kHz above the centre, band 1 at 14074 kHz with a counter signal,
rem both at 192000 samples/s. Then try the tools on bands 0 and 1, for example
rem   VEXA_File.exe 0 16 C        VEXA_Wave.exe 0 -1        vexa_monitor.exe 1 --counter
rem Close the simulator's window (or Ctrl+C in it) to stop it.
start "vexa_sim" "%~dp0vexa_sim.exe" --band 0 --l0 7050000 --signal tone --tone 20000 --band 1 --l0 14074000
