#!/usr/bin/env bash
# The main job: records one band of the simulator with VEXA_File for about ten
# seconds, stops it with Ctrl+C and shows what it made.
set -euo pipefail
set -m  # background jobs keep the default Ctrl+C handling, so SIGINT reaches them
source "$(dirname "$0")/env.sh"
vexa_build VEXA_File vexa_sim vexa_monitor
DEMO=$BUILD/demo
mkdir -p "$DEMO"
rm -f "$DEMO"/*.wav "$DEMO"/spectrogram.png
cd "$DEMO"

echo "== two bands with tones: band 0 at 7050 kHz (+20 kHz), band 1 at 14074 kHz (-40 kHz)"
wine "$BUILD/bin/vexa_sim.exe" --band 0 --l0 7050000 --signal tone --tone 20000 \
  --band 1 --l0 14074000 --signal tone --tone -40000 --level -20 &
sim=$!
trap 'kill -INT $sim 2>/dev/null || true; wait $sim 2>/dev/null || true' EXIT
sleep 2

echo "== recording band 0 (chosen by its frequency, 7050 kHz) for ten seconds"
wine "$BUILD/bin/VEXA_File.exe" 7050 16 &
rec=$!
sleep 10
kill -INT $rec
wait $rec
echo

echo "== files in $DEMO"
ls -l "$DEMO"/*.wav
for f in "$DEMO"/*.wav; do
  soxi "$f"
done

sox "$DEMO"/*.wav -n spectrogram -t "VEXA_File: band 0, I (top) and Q" -o "$DEMO/spectrogram.png"
echo "== spectrogram: $DEMO/spectrogram.png"
