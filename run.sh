#!/usr/bin/env bash
# Runs the unit on the simulated board: installs what is missing, builds (no sanitizers),
# makes a fresh sandbox, starts what the unit talks to (door-station simulator, local cloud),
# pairs a fresh sandbox with the cloud, and runs doorphone in the foreground. It prints how to
# ring, watch, talk and open the door; the console shows the unit's state changes, the peers' key
# events and every error line; the unit's whole output goes to "<root>/.board/doorphone.log".
# Usage: ./run.sh [--seconds N] [--root DIR] [--station-script FILE]
#   --seconds N  stop the unit after N seconds (a positive whole number)
#   --root DIR  use the sandbox in DIR (laid out fresh when DIR is absent or empty; its parent
#               must exist); one run per root at a time: a second one is refused at once
#   --station-script FILE  commands the door-station simulator runs first (e.g. a door call)
# Arguments are checked before anything is built or started (status 2 and the usage line).
# SIGINT (Ctrl-C) and SIGTERM stop the unit and its peers together.
set -euo pipefail
# A shell started with SIGINT or SIGTERM ignored (a background job) could not trap them: start
# again with them at their defaults, so that an interrupt always stops the unit and its peers.
if [ -z "${RUN_SH_SIGNALS:-}" ]; then
    RUN_SH_SIGNALS=1 exec env --default-signal=INT,TERM "$0" "$@"
fi
unset RUN_SH_SIGNALS
cd "$(dirname "$0")"
here=$(pwd)

usage="usage: ./run.sh [--seconds N] [--root DIR] [--station-script FILE]"
fail_usage() { echo "run.sh: $1 ($usage)" >&2; exit 2; }
# Every argument is checked before anything is built, started or touched.
seconds=""
root=""
station_script=""
while [ $# -gt 0 ]; do
    case "$1" in
        --seconds|--root|--station-script)
            [ $# -ge 2 ] && [ -n "$2" ] || fail_usage "$1 needs a value"
            case "$1" in
                --seconds) seconds=$2 ;;
                --root) root=$2 ;;
                --station-script) station_script=$2 ;;
            esac
            shift 2 ;;
        -h|--help) echo "$usage"; exit 0 ;;
        *) fail_usage "unknown argument $1" ;;
    esac
done
if [ -n "$seconds" ] && ! [[ "$seconds" =~ ^[0-9]+$ && "$seconds" =~ [1-9] ]]; then
    fail_usage "--seconds takes a positive whole number of seconds, not '$seconds'"
fi
if [ -n "$station_script" ]; then
    [ -f "$station_script" ] && [ -r "$station_script" ] ||
        fail_usage "--station-script $station_script is not a readable file"
    station_script=$(realpath "$station_script")
fi
if [ -n "$root" ]; then
    [ "${root#/}" != "$root" ] || root=$here/$root
    # tools/mksandbox's rule: the shell runner splices the root into command lines.
    [[ ! "$root" =~ [^A-Za-z0-9_./+-] ]] || fail_usage "--root $root: a root may hold only letters, digits and _ . / + -"
    if [ -e "$root" ] && [ ! -d "$root" ]; then
        fail_usage "--root $root is not a folder"
    fi
    [ -d "$(dirname "$root")" ] || fail_usage "--root $root: its parent folder does not exist"
    mkdir -p "$root"
else
    root=$(mktemp -d /tmp/doorphone-run-XXXXXX)
fi
root=$(cd "$root" && pwd)
# One run per root: a second one would reset the running board's network and remove its queues.
# The lock is on the root folder itself (so it holds for a root not laid out yet) and ends with
# this shell; children do not keep it.
exec 9< "$root"
if ! flock -n 9; then
    # The holder: the run that wrote its pid, or the process that took the lock itself.
    holder=$(cat "$root/.board/run.pid" 2> /dev/null || true)
    if ! [[ "$holder" =~ ^[0-9]+$ ]] || ! kill -0 "$holder" 2> /dev/null; then
        inode=$(stat -c %i "$root")
        holder=$(awk -v ino=":$inode" '$2 == "FLOCK" && substr($6, length($6) - length(ino) + 1) == ino { print $5; exit }' /proc/locks)
    fi
    what=""
    [ -n "$holder" ] && what=$(tr '\0' ' ' 2> /dev/null < "/proc/$holder/cmdline" || true)
    echo "run.sh: the board root $root is in use by process ${holder:-?}${what:+ (${what% })}; one run per root: stop that one first" >&2
    exit 1
fi
# flock(1) took the lock for this shell and ended: the pid that holds it is this shell's.
note_holder() { [ ! -d "$root/.board" ] || echo $$ > "$root/.board/run.pid"; }
note_holder

# Shows the build's percentage on one line while the full output goes to the log.
build_progress() {
    local line pct=""
    while IFS= read -r line; do
        printf '%s\n' "$line" >> "$build/build.log"
        if [[ "$line" =~ ^\[\ *([0-9]+)%\] ]] && [ "${BASH_REMATCH[1]}" != "$pct" ]; then
            pct=${BASH_REMATCH[1]}
            [ -t 1 ] && printf '\rrun.sh: building in %s/ ... %3s%%' "$build" "$pct"
        fi
    done
    [ -t 1 ] && [ -n "$pct" ] && printf '\n'
    return 0
}

./scripts/deps.sh 9<&-
build=build-run
echo "run.sh: building in $build/ (the whole output in $build/build.log)"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDOORPHONE_TESTS=OFF -DDOORPHONE_BENCH=OFF > /dev/null 9<&-
: > "$build/build.log"
set +e
cmake --build "$build" -j"$(nproc)" --target doorphone doorstation cloudsim viewer mkcamera doorphone_res 2>&1 9<&- |
    build_progress
build_rc=${PIPESTATUS[0]}
set -e
if [ "$build_rc" -ne 0 ]; then
    tail -n 40 "$build/build.log" >&2
    echo "run.sh: the build failed (see $build/build.log)" >&2
    exit 1
fi
# The unit's resources (tones, fonts, icons) as the build made them: the sandbox's "/customer/res".
export DOORPHONE_RES_DIR=$here/$build/res/unit

fresh=0
if [ -z "$(ls -A "$root")" ]; then
    tools/mksandbox "$root" > /dev/null
    fresh=1
    note_holder
fi
echo "run.sh: sandbox (board root) is $root"
export DOORPHONE_ROOT=$root
# The board powers up: interfaces, modules and daemons of an earlier run are gone; the cable,
# the Wi-Fi module and the networks in range stay as they were left.
tools/netsim "$root" boot

pids=()
unit_pid=""
cleanup() {
    [ -z "$unit_pid" ] || kill -TERM "$unit_pid" 2>/dev/null || true
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
    [ -z "$unit_pid" ] || wait "$unit_pid" 2>/dev/null || true
    # The sandbox stays; what the board left on the host (queues, tool processes) goes.
    tools/boardclean "$root" || true
}
trap cleanup EXIT
# An interrupt or a stop request ends the unit and its peers together.
stop() {
    trap - INT TERM
    echo "run.sh: stopping (signal $1); sandbox left at $root" >&2
    [ -z "$unit_pid" ] || kill -TERM "$unit_pid" 2>/dev/null || true
    exit $((128 + $2))
}
trap 'stop INT 2' INT
trap 'stop TERM 15' TERM
# A peer that ended already is said so, with its log, instead of being announced.
alive() {
    kill -0 "$1" 2>/dev/null && return 0
    echo "run.sh: $2 ended at once (see $3)" >&2
    tail -n 5 "$3" >&2 2>/dev/null || true
    exit 1
}

# The door-station simulator owns the intercom bus: the unit's "/dev/ttyS2" is the slave side
# of its pseudo-terminal. It reads commands from a FIFO, so a person can type them meanwhile.
station_cmd=$root/.board/doorstation.cmd
station_args=(--root "$root" --fifo "$station_cmd" --log "$root/.board/doorstation.log")
[ -n "$station_script" ] && station_args+=(--script "$station_script")
"$build/tools/doorstation" "${station_args[@]}" 9<&- &
station_pid=$!
pids+=($station_pid)
for _ in $(seq 100); do
    [ -L "$root/dev/ttyS2" ] && [ -p "$station_cmd" ] && break
    kill -0 "$station_pid" 2>/dev/null || break
    sleep 0.05
done
alive "$station_pid" "the door-station simulator" "$root/.board/doorstation.log"
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
"$build/tools/cloudsim" --root "$root" --quiet --die-with-parent --stores 2> "$root/.board/cloudsim.err" 9<&- &
cloud_pid=$!
pids+=($cloud_pid)
for _ in $(seq 600); do
    [ "$(ready_count)" -gt "$ready_before" ] && break
    kill -0 "$cloud_pid" 2>/dev/null || break
    sleep 0.05
done
alive "$cloud_pid" "the cloud simulator" "$root/.board/cloudsim.err"
if [ "$(ready_count)" -le "$ready_before" ]; then
    echo "run.sh: the cloud simulator did not start (see $cloud_log)" >&2
    exit 1
fi
unit_args=()
pair() {
    # Pairing the way a phone does on a wired unit: the QR token, debug start.
    token=$(tools/phone "$root" pair)
    unit_args=(-m 2 -t "$token")
    echo "run.sh: paired with token ${token:0:2}****** (the unit activates with it)"
}
uuid=$(sed -n 's/^UUID=//p' "$root/DeviceInfo/device.conf" 2>/dev/null || true)
if [ "$fresh" = 1 ]; then
    pair
elif ! tools/phone "$root" devices | grep -q " uuid $uuid activated "; then
    # An earlier run paired the board but the unit never activated (the token is spent).
    echo "run.sh: the board was paired before but never activated (the cloud does not know it): pairing again"
    pair
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
  notifications, and a picture one names (its "bucket" and "file" words; decrypted with the unit's media key):
    $phone $root notifications
    $phone $root pic BUCKET/FILE > /tmp/door.jpg
  a visitor at door 1 (the person of a photograph comes to the camera and stays; the motion
  alarm, turned on first, sees them arrive and the phone gets a motion notification, dp 115):
    $phone $root dp 134 true
    $here/$build/tools/mkcamera $root PHOTO.png
  recordings: on the card once data points 150 and 151 turn card recording on (151 0: events
  only), in the cloud once its storage records all the time:
    $phone $root dp 150 true 151 1
    $phone $root cloud-storage mode alltime
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
follow "$unit_log" +1 "$unit_errors|$unit_events" "" 9<&- &
follow "$cloud_log" 0 "$cloud_events" "cloud: " 9<&- &

# The unit runs beside this shell, so that an interrupt or a stop request reaches this shell at
# once and ends it with the peers; it takes SIGINT at its default even in a background job.
unit=("$build/src/Common/doorphone" "${unit_args[@]}")
if [ -n "$seconds" ]; then
    # Stopped by the time limit is the expected end of a timed run.
    unit=(timeout --signal=INT --kill-after=5 "$seconds" "${unit[@]}")
fi
env --default-signal=INT "${unit[@]}" >> "$unit_log" 2>&1 9<&- &
unit_pid=$!
set +e
wait "$unit_pid"
rc=$?
set -e
unit_pid=""
[ -n "$seconds" ] && [ $rc -eq 124 ] && rc=0
echo "run.sh: doorphone ended with status $rc; sandbox left at $root"
exit $rc
