#!/usr/bin/env bash
# Runs one benchmark on each architecture this machine runs (VEXA_ARCH=x86 or x64
# for one): scripts/bench.sh convert|dsp|file|net|extio [its arguments]. They print
# figures; none of them is a test. bench_dsp also runs as a native build beside
# liquid-dsp, the peer it is measured against on the same CPU in the same run;
# dsp also runs bench_demod, the demodulated channels.
set -euo pipefail
source "$(dirname "$0")/env.sh"
name=${1:-}
case $name in
  convert | dsp | file | net | extio) shift ;;
  *) vexa_fail "scripts/bench.sh: name a benchmark" "scripts/bench.sh convert|dsp|file|net|extio [arguments]" ;;
esac
vexa_build
[ "$name" = extio ] && vexa_display
if [ "$name" = dsp ]; then
  native=$BUILD_ROOT/native
  mkdir -p "$native"
  g++ -O2 -msse2 -std=c++17 -Wall -Wextra -Werror -DVEXA_WITH_LIQUID -I"$ROOT/dsp" \
    "$ROOT"/dsp/*.cpp "$ROOT/bench/bench_dsp.cpp" -lliquid -o "$native/bench_dsp" ||
    vexa_fail "building the native bench_dsp with liquid-dsp" "check that libliquid-dev is installed (scripts/setup.sh)"
  echo "== native Linux build of the same sources, beside liquid-dsp"
  "$native/bench_dsp"
fi
echo "== $VEXA_ARCH_NOTE; bench_$name on ${VEXA_RUNNABLE// / and }"
for arch in $VEXA_RUNNABLE; do
  vexa_use_arch "$arch"
  vexa_prefix
  echo "== $arch: bench_$name"
  if [ "$name" = convert ] || [ "$name" = dsp ]; then
    "$VEXA_WINE" "$VEXA_BUILD/bin/bench_$name.exe" "$@"
    [ "$name" = dsp ] && "$VEXA_WINE" "$VEXA_BUILD/bin/bench_demod.exe"
  else
    "$PYTHON" "$ROOT/bench/bench_$name.py" "$@"
  fi
done
