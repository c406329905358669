@echo off
rem Serves the receiver's bands to other PCs on TCP port 11000 until Ctrl+C.
rem Windows Firewall asks once whether VEXA_Net may accept connections: allow it
rem on the private network the client PC is on, never on a public one (anybody
rem who reaches port 11000 may connect). The log shows in this window.
"%~dp0VEXA_Net.exe"
