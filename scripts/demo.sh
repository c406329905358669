#!/usr/bin/env bash
# The main job: records two bands of the simulator with VEXA_File for about ten
# seconds, stops the recorders with Ctrl+C and shows what they made, with a
# picture of each recording.
set -euo pipefail
set -m  # background jobs keep the default Ctrl+C handling, so SIGINT reaches them
source "$(dirname "$0")/env.sh"
vexa_build VEXA_File vexa_sim vexa_monitor
# The reference 32-bit programs where this machine runs them, the 64-bit ones elsewhere.
vexa_use_arch "${VEXA_RUNNABLE%% *}"
echo "== $VEXA_ARCH_NOTE; the demo runs the $VEXA_BUILD_ARCH programs"
vexa_prefix
DEMO=$VEXA_BUILD/demo
mkdir -p "$DEMO"
rm -f "$DEMO"/*.wav "$DEMO"/*.png "$DEMO"/*.log
cd "$DEMO"

echo "== two bands with tones: band 0 at 7050 kHz (+20 kHz), band 1 at 14074 kHz (-40 kHz)"
"$VEXA_WINE" "$VEXA_BUILD/bin/vexa_sim.exe" --band 0 --l0 7050000 --signal tone --tone 20000 \
  --band 1 --l0 14074000 --signal tone --tone -40000 --level -20 &
sim=$!
trap 'kill -INT $sim 2>/dev/null || true; wait $sim 2>/dev/null || true' EXIT
sleep 2

echo "== recording for ten seconds: band 0 (chosen by its frequency, 7050 kHz) and band 1"
echo "   (flag C: the 16-byte fmt chunk for programs that read a fixed 44-byte header)"
# Each recorder's console output goes to its own log, shown once both have ended.
"$VEXA_WINE" "$VEXA_BUILD/bin/VEXA_File.exe" 7050 16 >band0.log 2>&1 &
rec0=$!
"$VEXA_WINE" "$VEXA_BUILD/bin/VEXA_File.exe" 1 16 C >band1.log 2>&1 &
rec1=$!
sleep 10
kill -INT $rec0 $rec1
wait $rec0 $rec1
for log in band0.log band1.log; do
  echo "-- VEXA_File, $log:"
  cat "$log"
done
echo

echo "== files in $DEMO"
ls -l "$DEMO"/*.wav
for f in "$DEMO"/*.wav; do
  soxi "$f"
done

echo "== pictures: averaged spectrum and waterfall, at absolute frequencies"
for f in "$DEMO"/*.wav; do
  "$PYTHON" "$ROOT/tools/vexa_waterfall.py" --peaks 1 "$f"
done
