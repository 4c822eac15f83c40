#!/usr/bin/env bash
# Backup throughput: one channel of the simulated DVR served as fast as the client reads, into
# AVI + SAMI files; MB written per second and CPU per MB, beside dd writing the same amount to
# the same disk in the same run.
#
#   bench/backup_bench.sh [WIDTHxHEIGHT] [MINUTES] [OUTDIR]
set -euo pipefail
cd "$(dirname "$0")/.."
size=${1:-1920x1080}
minutes=${2:-10}
out=${3:-$(mktemp -d -p "${TMPDIR:-/tmp}")}
build=${BUILD:-build}
port=${PORT:-5494}
mkdir -p "$out"
work=$(mktemp -d)
trap 'kill $sim 2>/dev/null || true; rm -rf "$work" "$out"/*' EXIT

"$build/sim/zaq-dvr-sim" --port "$port" --max-channel 1 --size "$size" --fps 30 \
    --bitrate 4000 > "$work/sim.log" 2>&1 &
sim=$!
for _ in $(seq 1200); do grep -q "media ready" "$work/sim.log" && break; sleep 0.1; done

from="2026-12-01 08:00:00"
to=$(date -d "$from UTC + $minutes minutes" -u "+%Y-%m-%d %H:%M:%S")
start=$(date +%s.%N)
TZ=UTC /usr/bin/time -f "%U %S %M" -o "$work/time" "$build/cli/zaq-cli" backup \
    --host 127.0.0.1 --port "$port" --channels 1 --from "$from" --to "$to" --out "$out" \
    > "$work/backup.log"
end=$(date +%s.%N)
read -r user sys rss_kb < "$work/time"
# The simulator's own CPU (utime + stime ticks), to see which side sets the pace.
sim_cpu=$(awk -v hz="$(getconf CLK_TCK)" '{print ($14 + $15) / hz}' "/proc/$sim/stat")
echo "simulated DVR CPU so far: ${sim_cpu} s"
bytes=$(du -cb "$out"/* | tail -1 | cut -f1)
tail -1 "$work/backup.log"

# dd writes the same number of bytes to the same folder, flushed like the backup's close.
mb=$(( (bytes + 1048575) / 1048576 ))
dd_start=$(date +%s.%N)
dd if=/dev/zero of="$out/dd.bin" bs=1M count="$mb" conv=fsync status=none
dd_end=$(date +%s.%N)

python3 - "$bytes" "$start" "$end" "$user" "$sys" "$rss_kb" "$dd_start" "$dd_end" "$minutes" <<'PY'
import sys
b, s, e, u, sy, rss, ds, de, mins = sys.argv[1:]
mb = int(b) / 1048576
secs = float(e) - float(s)
cpu = float(u) + float(sy)
dd = float(de) - float(ds)
print(f"recording of {mins} min, {mb:.1f} MB written in {secs:.2f} s = {mb / secs:.1f} MB/s "
      f"({float(mins) * 60 / secs:.1f}x real time)")
print(f"client CPU {cpu:.2f} s = {cpu / mb * 1000:.1f} ms per MB; peak RSS {int(rss) / 1024:.0f} MB")
print(f"dd of the same {mb:.0f} MB to the same disk: {dd:.2f} s = {mb / dd:.1f} MB/s; "
      f"backup / dd = {(mb / secs) / (mb / dd):.2f}")
PY
