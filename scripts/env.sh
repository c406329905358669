# Sourced by the scripts: where the build lives and how Wine runs in it.
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${VEXA_BUILD:-$ROOT/build}
export WINEPREFIX=$BUILD/wineprefix
export WINEARCH=win32
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export VEXA_BUILD=$BUILD
PYTHON=/usr/bin/python3

# Installs what is missing (needs root then), configures and builds.
vexa_build() {
  if [ "$(id -u)" -eq 0 ]; then "$ROOT/scripts/setup.sh"; else "$ROOT/scripts/setup.sh" || return 1; fi
  if [ ! -f "$BUILD/build.ninja" ]; then
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" >/dev/null || return 1
  fi
  ninja -C "$BUILD" "$@" || return 1
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "creating the Wine prefix in $WINEPREFIX"
    wineboot -i >/dev/null 2>&1
    wineserver -w
  fi
}

# A virtual display for the programs that show windows.
vexa_display() {
  export DISPLAY=${VEXA_DISPLAY:-:97}
  if ! xdpyinfo -display "$DISPLAY" >/dev/null 2>&1; then
    Xvfb "$DISPLAY" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    for _ in $(seq 50); do xdpyinfo -display "$DISPLAY" >/dev/null 2>&1 && break; sleep 0.1; done
  fi
}
