@echo off
rem Serves the receiver's bands to other PCs until Ctrl+C: SDR programs take them as
rem SpyServer (band n on TCP port 5555+n: band 0 on 5555, band 3 on 5558) or as
rem rtl_tcp (TCP port 1234, the band chosen by the frequency the program tunes to);
rem VEXA's own protocol stays on port 11000. Windows Firewall asks once whether
rem VEXA_Net may accept connections: allow it on the private network the client PC
rem is on, never on a public one. Only local networks are admitted (loopback,
rem 10/8, 172.16/12, 192.168/16, 169.254/16); add --allow 203.0.113.0/24 and the
rem like for others. The log shows in this window.
"%~dp0VEXA_Net.exe" --spyserver 5555 --rtltcp 1234 %*
