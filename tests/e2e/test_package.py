"""The zip a Windows user unpacks: what is in it, and that every program in it is of
this build's architecture and runs without a MinGW runtime DLL beside it."""
import os
import re
import subprocess
import zipfile

from conftest import ARCH, BUILD

PROGRAMS = {"VEXA_File.exe", "VEXA_Net.exe", "VEXA_Wave.exe", "ExtIO_VEXA.dll", "vexa_sim.exe",
            "vexa_monitor.exe", "extio_host.exe", "extio_host_detach.dll"}
OTHERS = {"README.md", "vexa_client.py", "vexa_waterfall.py", "record_forever.bat", "serve.bat",
          "play.bat", "try_without_receiver.bat"}
# What Windows itself has; anything else would have to travel with the programs.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "comctl32.dll", "ws2_32.dll", "winmm.dll",
               "msvcrt.dll", "advapi32.dll", "gdi32.dll", "api-ms-win-crt"}


def test_zip_holds_the_programs_of_this_architecture_and_what_users_need(tmp_path):
    suffix = {"x86": "win32", "x64": "win64"}[ARCH]
    with zipfile.ZipFile(BUILD / f"VEXA-1.0.0-{suffix}.zip") as z:
        z.extractall(tmp_path)
        names = {n.split("/", 1)[1] for n in z.namelist() if not n.endswith("/")}
    top = {n for n in names if "/" not in n}
    assert top == PROGRAMS | OTHERS
    assert {"docs/file-formats.md", "docs/protocol.md", "docs/extio.md"} <= names
    folder = tmp_path / f"VEXA-1.0.0-{suffix}"
    for bat in (n for n in top if n.endswith(".bat")):
        text = (folder / bat).read_bytes()
        assert text.count(b"\r\n") == text.count(b"\n"), f"{bat}: cmd wants CRLF line ends"
    objdump = os.environ["VEXA_TOOL_PREFIX"] + "-objdump"
    for program in PROGRAMS:
        dump = subprocess.run([objdump, "-p", str(folder / program)], capture_output=True,
                              text=True, check=True).stdout
        assert re.search(r"Magic\s+" + ("020b" if ARCH == "x64" else "010b"), dump), program
        dlls = {d.lower() for d in re.findall(r"DLL Name: (\S+)", dump)}
        assert all(any(d.startswith(s) for s in SYSTEM_DLLS) for d in dlls), (program, dlls)
