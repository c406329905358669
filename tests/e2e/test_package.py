"""The zip a Windows user unpacks: what is in it, and that every program in it is of
this build's architecture and runs without a MinGW runtime DLL beside it; its texts
read in Notepad."""
import os
import re
import subprocess
import zipfile

from conftest import ARCH, BUILD

PROGRAMS = {"VEXA_File.exe", "VEXA_Net.exe", "VEXA_Wave.exe", "ExtIO_VEXA.dll", "vexa_sim.exe",
            "vexa_monitor.exe", "extio_host.exe", "extio_host_detach.dll"}
TEXTS = {"README.txt", "LICENSE.txt", "CHANGES.txt"}
OTHERS = TEXTS | {"README.md", "vexa_client.py", "vexa_waterfall.py", "vexa_iq.py",
                  "record_forever.bat", "spool_forever.bat", "serve.bat", "play.bat",
                  "try_without_receiver.bat"}
# What Windows itself has; anything else would have to travel with the programs.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "comctl32.dll", "ws2_32.dll", "winmm.dll",
               "msvcrt.dll", "advapi32.dll", "gdi32.dll", "api-ms-win-crt"}


def test_zip_holds_the_programs_of_this_architecture_and_what_users_need(tmp_path):
    suffix = {"x86": "win32", "x64": "win64"}[ARCH]
    with zipfile.ZipFile(BUILD / f"VEXA-1.0.0-{suffix}.zip") as z:
        z.extractall(tmp_path)
        names = {n for n in z.namelist() if not n.endswith("/")}
    # No folder of its own: unzipped into C:\VEXA, the programs are C:\VEXA\*.exe.
    top = {n for n in names if "/" not in n}
    assert top == PROGRAMS | OTHERS
    assert {"docs/file-formats.md", "docs/protocol.md", "docs/extio.md"} <= names
    for text_file in (n for n in top if n.endswith((".bat", ".txt"))):
        text = (tmp_path / text_file).read_bytes()
        assert text.count(b"\r\n") == text.count(b"\n"), f"{text_file}: Notepad and cmd want CRLF"
    objdump = os.environ["VEXA_TOOL_PREFIX"] + "-objdump"
    for program in PROGRAMS:
        dump = subprocess.run([objdump, "-p", str(tmp_path / program)], capture_output=True,
                              text=True, check=True).stdout
        assert re.search(r"Magic\s+" + ("020b" if ARCH == "x64" else "010b"), dump), program
        dlls = {d.lower() for d in re.findall(r"DLL Name: (\S+)", dump)}
        assert all(any(d.startswith(s) for s in SYSTEM_DLLS) for d in dlls), (program, dlls)


# README.txt is README.md for Notepad: plain ASCII in short lines, no markdown marks
# left, every heading and every troubleshooting message still there.
def test_readme_txt_is_the_readme_as_plain_text(tmp_path):
    suffix = {"x86": "win32", "x64": "win64"}[ARCH]
    with zipfile.ZipFile(BUILD / f"VEXA-1.0.0-{suffix}.zip") as z:
        text = z.read("README.txt").decode("ascii")
        markdown = z.read("README.md").decode("utf-8")
    lines = text.split("\r\n")
    prose = [l for l in lines if not l.startswith("    ")]  # code keeps its own lines
    assert max(len(l) for l in prose) <= 80
    for mark in ("**", "`", "](", "|---", "\\|"):
        assert mark not in text, mark
    for title in re.findall(r"^#+ (.+)$", markdown, re.M):
        assert title.replace("`", "") in lines, title
    flowing = re.sub(r"\s+", " ", text)
    for message in ("Terminate batch job (Y/N)?", "BufferSize changed from ... to ... while it was read",
                    "vexa_monitor: can't open band N (VEXANBand)"):
        assert message in flowing, message
