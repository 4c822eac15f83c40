#!/usr/bin/env bash
# Decode + render throughput of the live pipeline against the simulated DVR, beside FFmpeg
# decoding the same elementary stream to RGB24 on one thread, measured in one run.
#
#   bench/pipeline_bench.sh CHANNELS WIDTHxHEIGHT CODEC SECONDS    (CODEC: h264 or h265)
#
# Prints frames per second per channel, process CPU per decoded frame, the ratio to FFmpeg's
# CPU per frame, and the client's peak RSS.
set -euo pipefail
cd "$(dirname "$0")/.."
channels=${1:-16}
size=${2:-704x480}
codec=${3:-h264}
seconds=${4:-30}
build=${BUILD:-build}
port=${PORT:-5499}
work=$(mktemp -d)
trap 'kill $sim 2>/dev/null || true; rm -rf "$work"' EXIT

"$build/sim/zaq-dvr-sim" --port "$port" --max-channel "$channels" --size "$size" --codec "$codec" \
    --fps 30 --dump-stream "$work/stream.$codec" > "$work/sim.log" 2>&1 &
sim=$!
for _ in $(seq 1200); do grep -q "media ready" "$work/sim.log" && break; sleep 0.1; done

/usr/bin/time -f "%U %S %M" -o "$work/time" \
    "$build/cli/zaq-cli" connect --host 127.0.0.1 --port "$port" --seconds "$seconds" --json \
    > "$work/out.json"
read -r user sys rss_kb < "$work/time"
frames=$(grep -o '"frames_decoded":[0-9]*' "$work/out.json" | cut -d: -f2)
total=0; min=999999
for f in $frames; do total=$((total + f)); [ "$f" -lt "$min" ] && min=$f; done
n=$(echo "$frames" | wc -w)

# FFmpeg on the same stream, repeated to a comparable number of frames, one thread. The raw
# elementary stream cannot be looped with -stream_loop (FFmpeg cannot seek it), so the copies
# are concatenated.
one=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames \
    -of csv=p=0 "$work/stream.$codec")
copies=$(( (total / n) / one + 1 ))
for _ in $(seq "$copies"); do cat "$work/stream.$codec"; done > "$work/looped.$codec"
/usr/bin/time -f "%U %S" -o "$work/ftime" ffmpeg -v error -threads 1 \
    -i "$work/looped.$codec" -pix_fmt rgb24 -f null - 2> "$work/ffmpeg.log"
ff_frames=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames \
    -of csv=p=0 "$work/looped.$codec")
read -r fuser fsys < "$work/ftime"

python3 - "$channels" "$size" "$codec" "$seconds" "$n" "$total" "$min" "$user" "$sys" "$rss_kb" \
    "$ff_frames" "$fuser" "$fsys" <<'PY'
import sys
(ch, size, codec, secs, n, total, mn, user, sys_, rss, fff, fu, fs) = sys.argv[1:]
secs, n, total, mn = float(secs), int(n), int(total), int(mn)
cpu = float(user) + float(sys_)
ff_cpu = float(fu) + float(fs)
per = cpu / max(total, 1) * 1000
ff_per = ff_cpu / max(int(fff), 1) * 1000
print(f"channels={ch} size={size} codec={codec} seconds={secs:.0f}")
print(f"  frames decoded: {total} in all, {total / n / secs:.2f} fps per channel on average, "
      f"slowest channel {mn / secs:.2f} fps")
print(f"  client CPU: {cpu:.2f} s = {per:.3f} ms per decoded frame")
print(f"  ffmpeg -threads 1 -pix_fmt rgb24: {ff_per:.3f} ms per frame ({fff} frames)")
print(f"  ratio client/ffmpeg per frame: {per / ff_per:.2f}")
print(f"  client peak RSS: {int(rss) / 1024:.0f} MB")
PY
