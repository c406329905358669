# Sourced by the scripts: the one place that knows the two architectures, where each
# is built and how Wine runs it. Everything else (CMake, CTest, the tests, the
# benchmarks) takes them from the variables vexa_use_arch exports.
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_ROOT=${VEXA_BUILD_ROOT:-$ROOT/build}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
PYTHON=/usr/bin/python3
# VEXA_ARCH=x86 or x64 restricts the scripts to one architecture.
VEXA_WANTED=${VEXA_ARCH:-x86 x64}

# Ends the script with one message that says what failed and what to do, the
# command's last lines of output (from the file named) and status 1.
vexa_fail() { # what-failed what-to-do [output-file]
  echo "FAILED: $1" >&2
  if [ -n "${3:-}" ] && [ -s "$3" ]; then
    echo "-- its last lines of output:" >&2
    tail -n 15 "$3" | sed 's/^/   /' >&2
  fi
  echo "What to do: $2" >&2
  exit 1
}

# The Wine loader of each architecture.
vexa_loader() {
  case $1 in
    x86) echo /usr/lib/wine/wine ;;
    x64) echo /usr/lib/wine/wine64 ;;
    *) return 1 ;;
  esac
}

vexa_bits() {
  case $1 in
    x86) echo 32-bit ;;
    x64) echo 64-bit ;;
  esac
}

# Selects an architecture for what follows: build folder, toolchain, Wine prefix.
vexa_use_arch() {
  case $1 in
    x86) export WINEARCH=win32 VEXA_TOOL_PREFIX=i686-w64-mingw32 ;;
    x64) export WINEARCH=win64 VEXA_TOOL_PREFIX=x86_64-w64-mingw32 ;;
  esac
  export VEXA_BUILD_ARCH=$1
  export VEXA_BUILD=$BUILD_ROOT/$1
  export WINEPREFIX=$VEXA_BUILD/wineprefix
  VEXA_WINE=$(vexa_loader "$1")
  export VEXA_WINE WINELOADER=$VEXA_WINE
  BUILD=$VEXA_BUILD
}

# Tries each architecture's Wine loader: VEXA_RUNNABLE lists those that start here,
# VEXA_ARCH_NOTE says so in one line.
vexa_probe_arches() {
  local arch out why="" idle=""
  VEXA_RUNNABLE=""
  for arch in $VEXA_WANTED; do
    vexa_loader "$arch" >/dev/null ||
      vexa_fail "unknown architecture VEXA_ARCH=$arch" "set VEXA_ARCH to x86 or x64, or leave it unset"
    if out=$("$(vexa_loader "$arch")" --version 2>&1); then
      VEXA_RUNNABLE="$VEXA_RUNNABLE $arch"
    else
      why="$why, no $(vexa_bits "$arch") code (${out##*: })"
      idle="$idle $arch"
    fi
  done
  VEXA_RUNNABLE=${VEXA_RUNNABLE# }
  [ -n "$VEXA_RUNNABLE" ] ||
    vexa_fail "this machine runs none of the Windows programs wanted ($VEXA_WANTED): ${why#, }" \
      "run on an x86-64 Linux machine with Debian's wine and wine64 (scripts/setup.sh installs them)"
  VEXA_ARCH_NOTE="this machine runs ${VEXA_RUNNABLE// / and } programs"
  idle=${idle# }
  [ -z "$idle" ] || VEXA_ARCH_NOTE="$VEXA_ARCH_NOTE$why: the ${idle// / and } programs are built but not run"
  [ "$VEXA_WANTED" = "x86 x64" ] || VEXA_ARCH_NOTE="$VEXA_ARCH_NOTE (VEXA_ARCH=$VEXA_WANTED)"
}

# Configures and builds the selected architecture; the targets given, or all.
vexa_build_arch() {
  local log=$BUILD_ROOT/build-$VEXA_BUILD_ARCH.log
  mkdir -p "$BUILD_ROOT"
  if [ ! -f "$VEXA_BUILD/build.ninja" ]; then
    cmake -S "$ROOT" -B "$VEXA_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-$VEXA_BUILD_ARCH.cmake" \
      -DCMAKE_CROSSCOMPILING_EMULATOR="$VEXA_WINE" >"$log" 2>&1 ||
      vexa_fail "configuring the $VEXA_BUILD_ARCH build (cmake in $VEXA_BUILD)" \
        "read $log; delete $VEXA_BUILD and run again" "$log"
  fi
  ninja -C "$VEXA_BUILD" "$@" >"$log" 2>&1 ||
    vexa_fail "building the $VEXA_BUILD_ARCH programs (ninja -C $VEXA_BUILD $*)" "read $log" "$log"
}

# Makes the selected architecture's zip for Windows users in its build folder.
vexa_package() {
  local log=$BUILD_ROOT/package-$VEXA_BUILD_ARCH.log
  (cd "$VEXA_BUILD" && cpack -G ZIP) >"$log" 2>&1 ||
    vexa_fail "packing the $VEXA_BUILD_ARCH zip (cpack in $VEXA_BUILD)" "read $log" "$log"
}

# Creates the selected architecture's Wine prefix on its first use.
vexa_prefix() {
  local log=$BUILD_ROOT/wineprefix-$VEXA_BUILD_ARCH.log
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "creating the $WINEARCH Wine prefix in $WINEPREFIX"
    { "$VEXA_WINE" wineboot -i && wineserver -w; } >"$log" 2>&1 && [ -f "$WINEPREFIX/system.reg" ] ||
      vexa_fail "creating the Wine prefix ($VEXA_WINE wineboot -i with WINEPREFIX=$WINEPREFIX)" \
        "delete $WINEPREFIX and run again; if it fails again, check that Debian's wine packages are installed" "$log"
  fi
  # A program that crashes prints its backtrace and ends, instead of waiting for
  # someone to close Wine's crash dialog on the virtual display.
  grep -q '^"ShowCrashDialog"=dword:00000000' "$WINEPREFIX/user.reg" 2>/dev/null ||
    "$VEXA_WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
      >>"$log" 2>&1 ||
    echo "Wine's crash dialog stays on in $WINEPREFIX: a crash waits instead of ending (see $log)"
}

# Installs what is missing, probes the architectures and builds every one of them
# (both are always built, also where only one runs); the targets given, or all.
vexa_build() {
  "$ROOT/scripts/setup.sh" || exit 1
  vexa_probe_arches
  local arch
  for arch in $VEXA_WANTED; do
    vexa_use_arch "$arch"
    vexa_build_arch "$@"
    [ $# -gt 0 ] || vexa_package
  done
}

# Checks every C++ source of the tree against .clang-format. A git checkout
# names its own files; an unpacked source archive has no git, so there every
# *.cpp and *.h outside the build folders is checked.
vexa_check_format() {
  local list
  list=$(mktemp)
  if git -C "$ROOT" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git -C "$ROOT" ls-files -z -co --exclude-standard -- '*.cpp' '*.h' >"$list"
  else
    echo "   (no git checkout here: checking every *.cpp and *.h outside build/)"
    find "$ROOT" \( -path "$BUILD_ROOT" -o -path "$ROOT/build" -o -name .git \) -prune -o \
      -type f \( -name '*.cpp' -o -name '*.h' \) -print0 >"$list"
  fi
  xargs -0 -r clang-format --dry-run --Werror <"$list"
  local status=$?
  rm -f "$list"
  return $status
}

# A virtual display for the programs that show windows.
vexa_display() {
  export DISPLAY=${VEXA_DISPLAY:-:97}
  if ! xdpyinfo -display "$DISPLAY" >/dev/null 2>&1; then
    Xvfb "$DISPLAY" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    for _ in $(seq 50); do xdpyinfo -display "$DISPLAY" >/dev/null 2>&1 && break; sleep 0.1; done
  fi
}
