#!/usr/bin/env bash
# Runs one benchmark on each architecture this machine runs (VEXA_ARCH=x86 or x64
# for one): scripts/bench.sh convert|file|net|extio [its arguments]. They print
# figures; none of them is a test.
set -euo pipefail
source "$(dirname "$0")/env.sh"
name=${1:-}
case $name in
  convert | file | net | extio) shift ;;
  *) vexa_fail "scripts/bench.sh: name a benchmark" "scripts/bench.sh convert|file|net|extio [arguments]" ;;
esac
vexa_build
[ "$name" = extio ] && vexa_display
echo "== $VEXA_ARCH_NOTE; bench_$name on ${VEXA_RUNNABLE// / and }"
for arch in $VEXA_RUNNABLE; do
  vexa_use_arch "$arch"
  vexa_prefix
  echo "== $arch: bench_$name"
  if [ "$name" = convert ]; then
    "$VEXA_WINE" "$VEXA_BUILD/bin/bench_convert.exe" "$@"
  else
    "$PYTHON" "$ROOT/bench/bench_$name.py" "$@"
  fi
done
