#!/usr/bin/env bash
# mvplay's streaming goals, measured (not asserted): on a one-hour 44.1 kHz
# stereo FLAC, the time from launch to the first rendered block and the peak
# resident memory, while playing on a device and while rendering the whole
# hour. The goals on the project's machines: first block within 100 ms,
# under 40 MB resident, memory independent of the length.
#
#   bench/mvplay_stream.sh [BUILD_DIR]     (default: build)
#
# Play figures need a sound server; the script starts a private one.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
player=$build/tools/mvplay/mvplay
hour=$build/bench-data/hour.flac
[[ -x $player ]] || { echo "build mvplay first (cmake --build $build --target mvplay)" >&2; exit 1; }

if [[ ! -f $hour ]]; then
    mkdir -p "$(dirname "$hour")"
    echo "making $hour (once) ..."
    sox -q -n -r 44100 -b 16 -c 2 "$hour" synth 3600 sine 220-880 sine 330-990 vol 0.3
fi

peak() { /usr/bin/time -f "%M" "$@" 2>&1 >/dev/null | tail -1; }
seconds() { local t0 t1; t0=$(date +%s.%N); "$@" >/dev/null 2>&1; t1=$(date +%s.%N); echo "$t1 - $t0" | bc; }

# Launch to the first block: a render of one block (1024 frames) to standard output
# covers start-up, opening and decoding the first chunk; the rest is the device's.
for run in 1 2 3; do
    printf 'first block, run %d: %s s\n' "$run" \
        "$(seconds "$player" -q --render - --duration 0.02 "$hour")"
done
printf 'first block an hour in: %s s\n' \
    "$(seconds "$player" -q --start 3590 --render - --duration 0.02 "$hour")"

eval "$("$root/scripts/pulse" start)"
trap '"$root/scripts/pulse" stop "$MV_PULSE_DIR"' EXIT
printf 'peak resident, 5 s played from 59:50: %s KB\n' \
    "$(peak "$player" -q --start 3590 --duration 5 "$hour")"
printf 'peak resident, the whole hour rendered: %s KB\n' \
    "$(peak "$player" -q --render - --sample-rate 44100 "$hour")"
