"""scripts/setup.sh on a machine whose mirror cannot serve the 32-bit packages: the
64-bit set is installed and one line says what failed and what it costs; with
VEXA_ARCH=x64 the 32-bit set is not asked for at all. The package tools are
stand-ins on PATH, so nothing is installed for real. And the formatting check of
scripts/test.sh in an unpacked source archive, which has no git."""
import os
import shutil
import subprocess

from conftest import ROOT

# apt-get's stand-in: the first update fails as a mirror in the middle of a sync
# does, an install that names an i386 package fails as a mismatched index makes it.
APT_GET = r"""#!/bin/sh
echo "$*" >> "$STUB_LOG"
case $1 in
  update) [ -f "$STUB_DIR/updated" ] && exit 0
          touch "$STUB_DIR/updated"
          echo "E: Failed to fetch binary-i386/Packages.xz  File has unexpected size. Mirror sync in progress?"
          exit 100 ;;
  install) case "$*" in *:i386*) echo "E: Unable to correct problems, you have held broken packages."
                                  exit 100 ;; esac
           exit 0 ;;
esac
"""
STUBS = {
    "apt-get": APT_GET,
    "dpkg-query": "#!/bin/sh\nexit 1\n",
    "dpkg": "#!/bin/sh\necho dpkg \"$*\" >> \"$STUB_LOG\"\n[ \"$1\" = --print-foreign-architectures ] || exit 0\n",
    "id": "#!/bin/sh\necho 0\n",
}


def set_up(tmp_path, **env):
    """Runs scripts/setup.sh with the stand-ins; returns its result and the
    package tools' calls."""
    for name, text in STUBS.items():
        (tmp_path / name).write_text(text)
        (tmp_path / name).chmod(0o755)
    log = tmp_path / "apt.log"
    env = dict(os.environ, PATH=f"{tmp_path}:{os.environ['PATH']}", STUB_LOG=str(log),
               STUB_DIR=str(tmp_path), **env)
    if "VEXA_ARCH" not in env or not env["VEXA_ARCH"]:
        env.pop("VEXA_ARCH", None)
    done = subprocess.run(["bash", str(ROOT / "scripts/setup.sh")], env=env,
                          capture_output=True, text=True, timeout=60)
    return done, log.read_text().splitlines()


def test_a_broken_i386_index_installs_the_64_bit_set_and_says_what_it_costs(tmp_path):
    done, calls = set_up(tmp_path, VEXA_ARCH="")
    assert done.returncode == 0, done.stderr
    assert "dpkg --add-architecture i386" in calls
    calls = [c for c in calls if not c.startswith("dpkg")]
    assert [c.split()[0] for c in calls] == ["update", "update", "install", "install"]
    assert ":i386" in calls[2] and ":i386" not in calls[3]
    assert "wine64" in calls[3] and "g++-mingw-w64-i686-posix" in calls[3]
    said = [line for line in done.stderr.splitlines() if "32-bit packages" in line]
    assert len(said) == 1
    assert "held broken packages" in said[0] and "x86 programs are built but not run" in said[0]
    assert "run scripts/setup.sh again" in said[0]


def test_x64_alone_asks_for_no_32_bit_package(tmp_path):
    done, calls = set_up(tmp_path, VEXA_ARCH="x64")
    assert done.returncode == 0, done.stderr
    assert [c.split()[0] for c in calls] == ["update", "update", "install"], calls
    assert "i386" not in "\n".join(calls) and "wine64" in calls[2]
    assert "32-bit" not in done.stderr


def test_formatting_is_checked_in_a_source_archive_without_git(tmp_path):
    tree = tmp_path / "VEXA-src"
    shutil.copytree(ROOT / "scripts", tree / "scripts")
    shutil.copy(ROOT / ".clang-format", tree)
    shutil.copytree(ROOT / "net", tree / "net")
    (tree / "build" / "x64").mkdir(parents=True)
    (tree / "build" / "x64" / "generated.h").write_text("int  x ;\n")  # never checked
    env = dict(os.environ, GIT_CEILING_DIRECTORIES=str(tmp_path))
    check = ["bash", "-c", f"source {tree}/scripts/env.sh && vexa_check_format"]
    done = subprocess.run(check, env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "no git checkout here: checking every *.cpp and *.h outside build/" in done.stdout
    (tree / "net" / "bad.cpp").write_text("int  y ;\n")
    done = subprocess.run(check, env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode != 0 and "net/bad.cpp" in done.stderr
