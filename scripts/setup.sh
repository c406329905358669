#!/usr/bin/env bash
# Installs what the build, the tests and the demo need from Debian 12's packages.
# Idempotent: when everything is present it only checks and returns.
set -uo pipefail
# The architectures wanted (VEXA_ARCH) come from env.sh, as for every script.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

# The 64-bit set builds both architectures and runs the x64 programs; the 32-bit
# set only adds running the x86 programs, so a mirror that fails the i386 index
# costs the x86 runs and nothing else, and VEXA_ARCH=x64 does without it.
# gr-osmosdr, gnuradio and rtl-433 are real rtl_tcp clients for the tests;
# wsjtx brings WSJT-X's own simulators and decoders, fftw the benchmark's baseline FFT.
packages64=(
  g++-mingw-w64-i686-posix binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64 xvfb xauth x11-apps x11-utils imagemagick
  cmake ninja-build googletest clang-format
  python3 python3-pytest python3-pytest-timeout python3-pytest-rerunfailures python3-numpy python3-soundfile python3-matplotlib
  sox libsox-fmt-all sndfile-programs alsa-utils libasound2-plugins
  tmux procps libliquid-dev
  gr-osmosdr gnuradio rtl-433 wsjtx libfftw3-dev
)
packages32=()
case " $VEXA_WANTED " in
  *" x86 "*) packages32=(wine32:i386 libasound2-plugins:i386) ;;
esac

missing_of() { # package...
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || echo "$p"
  done
}
mapfile -t missing64 < <(missing_of "${packages64[@]}")
mapfile -t missing32 < <(missing_of "${packages32[@]}")
missing=("${missing64[@]}" "${missing32[@]}")
[ ${#missing[@]} -eq 0 ] && exit 0

fail() { # what-failed log
  echo "setup: FAILED: $1" >&2
  echo "-- its last lines of output:" >&2
  tail -n 15 "$2" | sed 's/^/   /' >&2
  echo "What to do: check the machine's network and apt sources, then run scripts/setup.sh again as root" >&2
  exit 1
}

if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing packages (${missing[*]}); run scripts/setup.sh as root to install them" >&2
  exit 1
fi

log=$(mktemp)
trap 'rm -f "$log"' EXIT
echo "setup: installing ${missing[*]}"
if [ ${#packages32[@]} -gt 0 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386 >"$log" 2>&1 || fail "dpkg --add-architecture i386" "$log"
fi
export DEBIAN_FRONTEND=noninteractive
# A mirror in the middle of a sync fails one index or another; a second try often
# gets it, and otherwise the lists kept from before may still serve, so only a
# failed install ends the set-up.
if ! apt-get update -qq >"$log" 2>&1 && ! apt-get update -qq >"$log" 2>&1; then
  echo "setup: apt-get update reported errors twice (going on with the package lists there are):" >&2
  grep '^E:' "$log" | head -n 3 | sed 's/^/   /' >&2
fi
apt-get install -y -qq --no-install-recommends "${missing[@]}" >"$log" 2>&1 && {
  echo "setup: installed ${missing[*]}"
  exit 0
}
[ ${#missing32[@]} -gt 0 ] || fail "apt-get install ${missing[*]}" "$log"
reason=$(grep '^E:' "$log" | tail -n 1)
if [ ${#missing64[@]} -gt 0 ]; then
  apt-get install -y -qq --no-install-recommends "${missing64[@]}" >"$log" 2>&1 ||
    fail "apt-get install ${missing64[*]}" "$log"
fi
echo "setup: the 32-bit packages (${missing32[*]}) could not be installed (${reason:-apt-get failed}):" \
  "the x86 programs are built but not run, x64 is tested; to retry, run scripts/setup.sh again as root" \
  "(after apt-get update, once the mirror is in sync)" >&2
exit 0
