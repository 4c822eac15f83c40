#!/usr/bin/env bash
# The live window under Xvfb against the simulated DVR: images painted per pane per second, the
# longest the GUI thread went without serving a 10 ms timer, and process CPU.
#
#   bench/window_bench.sh [CHANNELS] [WIDTHxHEIGHT] [SECONDS] [--software-panes]
set -euo pipefail
cd "$(dirname "$0")/.."
channels=${1:-16}
size=${2:-704x480}
seconds=${3:-30}
extra=${4:-}
build=${BUILD:-build}
port=${PORT:-5498}
work=$(mktemp -d)
trap 'kill $sim 2>/dev/null || true; rm -rf "$work"' EXIT

"$build/sim/zaq-dvr-sim" --port "$port" --max-channel "$channels" --size "$size" --fps 30 \
    > "$work/sim.log" 2>&1 &
sim=$!
for _ in $(seq 1200); do grep -q "media ready" "$work/sim.log" && break; sleep 0.1; done

# shellcheck disable=SC2086
xvfb-run -a -s "-screen 0 1280x1024x24" "$build/app/zaq-client" --connect "127.0.0.1:$port" \
    --stats "$seconds" $extra
