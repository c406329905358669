#!/usr/bin/env bash
# The main job: publishes two bands with the simulator and follows one of them.
set -euo pipefail
source "$(dirname "$0")/env.sh"
vexa_build
cd "$BUILD/bin"
wine vexa_sim.exe --band 0 --signal tone --tone 1000 --band 1 --l0 14074000 --signal counter &
sim=$!
trap 'kill -INT $sim 2>/dev/null; wait $sim' EXIT
sleep 2
wine vexa_monitor.exe 1 --seconds 5 --counter
