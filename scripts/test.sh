#!/usr/bin/env bash
# Builds both architectures and runs every test on each one this machine runs:
# formatting, unit tests under Wine, end-to-end tests. Extra arguments go to pytest.
set -uo pipefail
source "$(dirname "$0")/env.sh"
vexa_build
vexa_display
echo "== $VEXA_ARCH_NOTE; testing ${VEXA_RUNNABLE// / and }"

echo "== formatting"
cd "$ROOT"
vexa_check_format || vexa_fail "formatting: the files named above differ from .clang-format" \
  "run clang-format -i on them"

failed=""
for arch in $VEXA_RUNNABLE; do
  vexa_use_arch "$arch"
  vexa_prefix
  # Where 32-bit code runs too, the 64-bit tools also read a 32-bit publisher.
  if [ "$arch" = x64 ] && [ "$VEXA_RUNNABLE" != x64 ]; then
    export VEXA_PEER_BIN=$BUILD_ROOT/x86/bin VEXA_PEER_WINE=$(vexa_loader x86)
  fi
  echo "== $arch: unit tests"
  ctest --test-dir "$VEXA_BUILD" --output-on-failure || failed="$failed $arch-unit"
  echo "== $arch: end-to-end tests"
  "$PYTHON" -m pytest -q -p no:cacheprovider "$ROOT/tests/e2e" "$@" || failed="$failed $arch-e2e"
  unset VEXA_PEER_BIN VEXA_PEER_WINE
done

if [ -n "$failed" ]; then
  echo "== FAILED:$failed"
  exit 1
fi
echo "== all tests passed on ${VEXA_RUNNABLE// / and }"
