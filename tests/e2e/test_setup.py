"""scripts/setup.sh on a machine whose mirror cannot serve the 32-bit packages: the
64-bit set is installed and one line says what failed and what it costs. The
package tools are stand-ins on PATH, so nothing is installed for real."""
import os
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
    "dpkg": "#!/bin/sh\necho i386\n",
    "id": "#!/bin/sh\necho 0\n",
}


def test_a_broken_i386_index_installs_the_64_bit_set_and_says_what_it_costs(tmp_path):
    for name, text in STUBS.items():
        (tmp_path / name).write_text(text)
        (tmp_path / name).chmod(0o755)
    log = tmp_path / "apt.log"
    env = dict(os.environ, PATH=f"{tmp_path}:{os.environ['PATH']}", STUB_LOG=str(log),
               STUB_DIR=str(tmp_path))
    done = subprocess.run(["bash", str(ROOT / "scripts/setup.sh")], env=env,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    calls = log.read_text().splitlines()
    assert [c.split()[0] for c in calls] == ["update", "update", "install", "install"]
    assert ":i386" in calls[2] and ":i386" not in calls[3]
    assert "wine64" in calls[3] and "g++-mingw-w64-i686-posix" in calls[3]
    said = [line for line in done.stderr.splitlines() if "32-bit packages" in line]
    assert len(said) == 1
    assert "held broken packages" in said[0] and "x86 programs are built but not run" in said[0]
    assert "run scripts/setup.sh again" in said[0]
