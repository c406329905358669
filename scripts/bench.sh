#!/usr/bin/env bash
# Runs one benchmark on each architecture this machine runs (VEXA_ARCH=x86 or x64
# for one): scripts/bench.sh convert|dsp|file|net|extio [its arguments]. They print
# figures; none of them is a test. bench_dsp and bench_fft also run as a
# native build beside liquid-dsp and FFTW, the peers they are measured against
# on the same CPU in the same run; dsp also runs bench_demod, the demodulated
# channels.
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
  # -O3 as the programs' build: at -O2 GCC leaves the FFT's butterflies out of line.
  g++ -O3 -msse2 -std=c++17 -Wall -Wextra -Werror -DVEXA_WITH_FFTW -I"$ROOT/dsp" \
    "$ROOT"/dsp/*.cpp "$ROOT/bench/bench_fft.cpp" -lfftw3f -o "$native/bench_fft" ||
    vexa_fail "building the native bench_fft with FFTW" "check that libfftw3-dev is installed (scripts/setup.sh)"
  echo "== native Linux build of the same sources, beside liquid-dsp and FFTW"
  "$native/bench_dsp"
  "$native/bench_fft"
fi
echo "== $VEXA_ARCH_NOTE; bench_$name on ${VEXA_RUNNABLE// / and }"
for arch in $VEXA_RUNNABLE; do
  vexa_use_arch "$arch"
  vexa_prefix
  echo "== $arch: bench_$name"
  if [ "$name" = convert ] || [ "$name" = dsp ]; then
    "$VEXA_WINE" "$VEXA_BUILD/bin/bench_$name.exe" "$@"
    if [ "$name" = dsp ]; then
      "$VEXA_WINE" "$VEXA_BUILD/bin/bench_fft.exe"
      "$VEXA_WINE" "$VEXA_BUILD/bin/bench_demod.exe"
    fi
  else
    "$PYTHON" "$ROOT/bench/bench_$name.py" "$@"
  fi
done
