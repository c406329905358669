@echo off
rem Serves the receiver's bands to other PCs until Ctrl+C. VEXA_Net is started
rem again whenever it ends by itself (a port still taken at boot, a crash); only
rem your stop (exit code 0) or wrong options (exit code 2) end this.
rem
rem   serve.bat [more VEXA_Net options]
rem
rem SDR programs take the bands as SpyServer (band n on TCP port 5555+n: band 0
rem on 5555, band 3 on 5558) or as rtl_tcp (TCP port 1234, the band chosen by the
rem frequency the program tunes to); VEXA's own protocol stays on port 11000
rem (--port 0 closes it). Allow VEXA_Net through Windows Firewall on the private
rem network the client PC is on, never on a public one.
rem Only the local networks are admitted (--allow private: 127/8, 10/8,
rem 172.16/12, 192.168/16, 169.254/16). To add another network, name both:
rem   serve.bat --allow private --allow 203.0.113.0/24
rem An --allow without "private" admits only what it names, here one PC:
rem   serve.bat --allow 192.168.1.20/32
setlocal EnableExtensions DisableDelayedExpansion
if not defined RETRY_SECONDS set "RETRY_SECONDS=60"

:serve
"%~dp0VEXA_Net.exe" --spyserver 5555 --rtltcp 1234 %*
set "CODE=%errorlevel%"
if "%CODE%"=="0" exit /b 0
if "%CODE%"=="2" goto wrong_options
echo VEXA_Net ended with exit code %CODE%; starting it again in %RETRY_SECONDS% seconds
set /a "PINGS=RETRY_SECONDS + 1"
ping -n %PINGS% 127.0.0.1 >nul
goto serve

:wrong_options
echo VEXA_Net ended with exit code 2: not started again, mend what it says above
exit /b 2
