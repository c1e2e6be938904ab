#!/usr/bin/env bash
# Runs the unit on the simulated board: installs what is missing, builds (no sanitizers),
# makes a fresh sandbox, starts what the unit talks to (door-station simulator, local cloud),
# pairs a fresh sandbox with the cloud, and runs doorphone in the foreground. It prints how to
# ring, watch, talk and open the door; the console shows the unit's state changes, the peers' key
# events and every error line; the unit's whole output goes to "<root>/.board/doorphone.log".
# Usage: ./run.sh [--seconds N] [--root DIR] [--station-script FILE]
#   --root DIR  use the sandbox in DIR (laid out fresh when DIR is absent or empty)
#   --station-script FILE  commands the door-station simulator runs first (e.g. a door call)
set -euo pipefail
cd "$(dirname "$0")"
here=$(pwd)

seconds=""
root=""
station_script=""
while [ $# -gt 0 ]; do
    case "$1" in
        --seconds) seconds=${2:?--seconds needs a number}; shift 2 ;;
        --root) root=${2:?--root needs a folder}; shift 2 ;;
        --station-script) station_script=$(realpath "${2:?--station-script needs a file}"); shift 2 ;;
        -h|--help) echo "usage: ./run.sh [--seconds N] [--root DIR] [--station-script FILE]"; exit 0 ;;
        *) echo "run.sh: unknown argument $1" >&2; exit 2 ;;
    esac
done

./scripts/deps.sh
build=build-run
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDOORPHONE_TESTS=OFF -DDOORPHONE_BENCH=OFF > /dev/null
echo "run.sh: building in $build/ (its output in $build/build.log)"
if ! cmake --build "$build" -j"$(nproc)" --target doorphone doorstation cloudsim viewer doorphone_res > "$build/build.log" 2>&1; then
    tail -n 40 "$build/build.log" >&2
    echo "run.sh: the build failed (see $build/build.log)" >&2
    exit 1
fi
# The unit's resources (tones, fonts, icons) as the build made them: the sandbox's "/customer/res".
export DOORPHONE_RES_DIR=$here/$build/res/unit

if [ -z "$root" ]; then
    root=$(mktemp -d /tmp/doorphone-run-XXXXXX)
fi
mkdir -p "$root"
root=$(cd "$root" && pwd)
fresh=0
if [ -z "$(ls -A "$root")" ]; then
    tools/mksandbox "$root" > /dev/null
    fresh=1
fi
echo "run.sh: sandbox (board root) is $root"
export DOORPHONE_ROOT=$root
# The board powers up: interfaces, modules and daemons of an earlier run are gone; the cable,
# the Wi-Fi module and the networks in range stay as they were left.
tools/netsim "$root" boot

pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
    # The sandbox stays; what the board left on the host (queues, tool processes) goes.
    tools/boardclean "$root" || true
}
trap cleanup EXIT

# The door-station simulator owns the intercom bus: the unit's "/dev/ttyS2" is the slave side
# of its pseudo-terminal. It reads commands from a FIFO, so a person can type them meanwhile.
station_cmd=$root/.board/doorstation.cmd
station_args=(--root "$root" --fifo "$station_cmd" --log "$root/.board/doorstation.log")
[ -n "$station_script" ] && station_args+=(--script "$station_script")
"$build/tools/doorstation" "${station_args[@]}" &
pids+=($!)
for _ in $(seq 100); do
    [ -L "$root/dev/ttyS2" ] && [ -p "$station_cmd" ] && break
    sleep 0.05
done
echo "run.sh: door-station simulator on $root/dev/ttyS2"

# The device cloud on loopback: the simulator, its own broker and the object stores (s3rver
# behind its signature gate, azurite; TLS on free ports, data under "<root>/.board/cloud/stores").
# It writes the cloud hosts ("<root>/.board/net/hosts") and the API URL ("<root>/etc/cloud.conf") the unit reads; a root
# keeps its ports, so an activated unit finds its cloud again in the next run.
cloud_log=$root/.board/cloudsim.log
ready_count() {
    local n
    n=$(grep -c "cloud simulator ready" "$cloud_log" 2>/dev/null) || true
    echo "${n:-0}"
}
ready_before=$(ready_count)
"$build/tools/cloudsim" --root "$root" --quiet --die-with-parent --stores &
pids+=($!)
for _ in $(seq 600); do
    [ "$(ready_count)" -gt "$ready_before" ] && break
    sleep 0.05
done
if [ "$(ready_count)" -le "$ready_before" ]; then
    echo "run.sh: the cloud simulator did not start (see $cloud_log)" >&2
    exit 1
fi
unit_args=()
if [ "$fresh" = 1 ]; then
    # A fresh board pairs the way a phone does on a wired unit: the QR token, debug start.
    token=$(tools/phone "$root" pair)
    unit_args=(-m 2 -t "$token")
    echo "run.sh: paired with token ${token:0:2}****** (the unit activates with it)"
else
    echo "run.sh: the board was paired before: the unit goes online with its stored activation"
fi
grep -h "stores up" "$cloud_log" | tail -n 1 | sed 's/^[^ ]* /run.sh: /' || true

# The unit's whole output goes to its log (the one of an earlier run is kept as ".old").
unit_log=$root/.board/doorphone.log
[ -f "$unit_log" ] && mv -f "$unit_log" "$unit_log.old"
: > "$unit_log"
viewer=$here/$build/tools/viewer
phone=$here/tools/phone

# How to use the unit, with this sandbox's paths, in one block to copy from.
cat <<EOF
run.sh: ---- how to use the unit (sandbox $root) ----
  ring door 1 (a bus call; 'doorbell 1' rings it as an analogue door; 'help' lists commands):
    echo 'call 1' > $station_cmd
  watch (live for 30 s; --quality 1 the sub stream; --audio FILE.wav keeps the sound):
    $viewer $root --client 0 --live 30 --video - | ffplay -loglevel error -
  talk back (16-bit mono 8000 Hz WAV; the visitor hears $root/.board/speaker.wav):
    ffmpeg -v error -y -f lavfi -i sine=440:d=3 -ar 8000 -ac 1 /tmp/voice.wav
    $viewer $root --client 1 --talk /tmp/voice.wav
  open door 1 from the phone (dp 242 1 opens the door being watched):
    $phone $root dp 241 1
  notifications, and a picture they name (decrypted with the unit's media key):
    $phone $root notifications
    $phone $root pic BUCKET/KEY > /tmp/door.jpg
  recordings in $root/mnt/sdcard/DVR, and through the viewer:
    $viewer $root --client 0 --days       (--files Y M D; --play START END --video - | ffplay -)
  the phone: $phone $root devices    (dp ID VALUE, query ID, reports, broker stop|start)
  network:   $here/tools/netsim $root cable pull    (cable plug, wifi add SSID PASS, show)
  logs: the unit $unit_log
        the door station $root/.board/doorstation.log, the cloud $cloud_log
run.sh: ----
EOF

# The console: what the unit does (its states, calls, bus orders, viewers, cloud link, card,
# pushes) and every error line, and what the cloud hears; the whole output stays in the logs.
unit_events='\[SetSystemMainState\]|call from Door|Com Order|ComOrder_|mqtt is (online|offline)|Net status change|p2p rev event|Dbg:chn\[|enable speaker|streaming (start|stop)|Dbg:PB |pb query|pb_ts query|\[InitSDCard\]|doorbell picture|DP handle_|recovered|CallTimeoutExpired|Door[12] x+ Monitor'
unit_errors=$'\e\\[31m|Err'
cloud_events='^[^ ]+ (online|offline|stopping|-> |<- .*(protocol 43|"dps":\{"(148|241|242)")|   dp [0-9]+ raw|s3 PUT|azure PUT|.*(error|fail|refused))'
follow() {
    local file=$1 from=$2 pattern=$3 prefix=$4
    tail --pid=$$ -n "$from" -F "$file" 2> /dev/null | grep --line-buffered -aE -- "$pattern" |
        sed -u -e 's/\r//g' -e $'s/^\e\\[0m//' -e "s|^|$prefix|" -e $'s/$/\e[0m/'
}
follow "$unit_log" +1 "$unit_errors|$unit_events" "" &
follow "$cloud_log" 0 "$cloud_events" "cloud: " &

if [ -n "$seconds" ]; then
    set +e
    timeout --signal=INT --kill-after=5 "$seconds" "$build/src/Common/doorphone" "${unit_args[@]}" >> "$unit_log" 2>&1
    rc=$?
    set -e
    # Stopped by the time limit is the expected end of a timed run.
    [ $rc -eq 124 ] && rc=0
    echo "run.sh: doorphone ended with status $rc; sandbox left at $root"
    exit $rc
fi
set +e
"$build/src/Common/doorphone" "${unit_args[@]}" >> "$unit_log" 2>&1
rc=$?
set -e
echo "run.sh: doorphone ended with status $rc; sandbox left at $root"
exit $rc
