#!/usr/bin/env bash
# Builds everything and runs every test: formatting, unit tests under Wine, end-to-end tests.
set -euo pipefail
source "$(dirname "$0")/env.sh"
vexa_build
vexa_display

echo "== formatting"
cd "$ROOT"
git ls-files -co --exclude-standard -- '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

echo "== unit tests"
ctest --test-dir "$BUILD" --output-on-failure

echo "== end-to-end tests"
"$PYTHON" -m pytest -q -p no:cacheprovider "$ROOT/tests/e2e" "$@"
