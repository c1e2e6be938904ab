#!/usr/bin/env bash
# Runs the unit on the simulated board: installs what is missing, builds (no sanitizers),
# makes a fresh sandbox, starts what the unit talks to (door-station simulator, local cloud),
# pairs a fresh sandbox with the cloud, and runs doorphone in the foreground. It prints how to
# ring, watch, talk and open the door; the console shows the unit's state changes, the peers' key
# events and every error line; the unit's whole output goes to "<root>/.board/doorphone.log".
# Usage: ./run.sh [--seconds N] [--root DIR] [--station-script FILE] | --build-only
#   --seconds N  stop the unit after N seconds (a positive whole number)
#   --root DIR  use the sandbox in DIR (laid out fresh when DIR is absent or empty; its parent
#               must exist; a folder with other things in it is refused); one run per root at a
#               time: a second one is refused at once. What an earlier run left running on the
#               root (a run killed hard) is ended first, and said so.
#   --station-script FILE  commands the door-station simulator runs first (e.g. a door call)
#   --build-only  install what is missing and build, then end (./test.sh builds so before its
#               tests: the run.sh tests then find the build made)
# Relative paths are taken from the folder run.sh is called from. JOBS=N sets the build's
# parallel jobs (default: the number of processors).
# Arguments are checked before anything is built or started (status 2 and the usage line).
# Every process it starts ends with it, a run killed hard (SIGKILL) too.
# SIGINT (Ctrl-C) and SIGTERM stop the unit and its peers together, and at any earlier step end
# that step (install, build, layout) with nothing left running.
set -euo pipefail
# A shell started with SIGINT or SIGTERM ignored (a background job) could not trap them: start
# again with them at their defaults, so that an interrupt always stops the unit and its peers.
if [ -z "${RUN_SH_SIGNALS:-}" ]; then
    RUN_SH_SIGNALS=1 exec env --default-signal=INT,TERM "$0" "$@"
fi
unset RUN_SH_SIGNALS
# Relative paths in the arguments are the caller's.
caller=$PWD
cd "$(dirname "$0")"
here=$(pwd)
. tools/.sandboxlib

# The traps come first: a signal before them would be lost, and the run would go on for minutes.
# Every long step runs beside this shell (step), which waits for it: bash runs a trap only once
# its foreground command is done, and a wait ends at once.
root=""
held=0           # this run holds the root (its lock): only then does it clean or remove there
stopping=0
made_root=0      # this run made the root folder
laying_out=0     # mksandbox is laying out the root (cut short, the layout goes)
building=0       # the build runs (cut short, what it wrote goes)
step_pid=""
unit_pid=""
pids=()

# Process $1 and everything below it.
tree() {
    ps -e -o pid=,ppid= | awk -v top="$1" '
        { kids[$2] = kids[$2] " " $1 }
        END {
            todo = top
            while (todo != "") {
                n = split(todo, a, " "); todo = ""
                for (i = 1; i <= n; i++) { print a[i]; todo = todo kids[a[i]] }
            }
        }'
}
running() { local s; s=$(sed 's/.*) //' "/proc/$1/stat" 2> /dev/null | cut -c1); [ -n "$s" ] && [ "$s" != Z ]; }
# Ends process $1 and its whole tree: SIGTERM to all at once (a build deletes the file it was
# writing), SIGKILL to what still runs after a second.
end_tree() {
    local all left p
    all=$(tree "$1")
    # Stopped first, so that nothing below forks while the tree is listed again.
    kill -STOP $all 2> /dev/null || true
    all=$(tree "$1")
    kill -TERM $all 2> /dev/null || true
    kill -CONT $all 2> /dev/null || true
    for _ in $(seq 20); do
        left=""
        for p in $all; do running "$p" && left+=" $p"; done
        [ -n "$left" ] || break
        sleep 0.05
    done
    [ -z "$left" ] || kill -KILL $left 2> /dev/null || true
    wait "$1" 2> /dev/null || true
}
# What run.sh starts gets SIGTERM when this shell ends, however it ends (kill -9 too). A command,
# not a function: a function in the background runs in a subshell, which would be the parent.
with_run=(setpriv --pdeathsig TERM)
# Runs one step beside this shell and waits for it: its status, or the trap at once on a signal.
# It takes SIGINT at its default (a background job would ignore it), so a Ctrl-C reaches it too.
step() {
    local rc=0
    "${with_run[@]}" env --default-signal=INT,TERM "$@" 0<&0 9<&- &
    step_pid=$!
    wait "$step_pid" || rc=$?
    step_pid=""
    return $rc
}

# What a build cut short wrote: make may end before it removes the file its job was writing (a
# link's output left empty, newer than its inputs), and the next build would take it as done.
# Objects, libraries and every output outside CMakeFiles/ made since the build began go; the
# next build makes them again. The build files cmake wrote (Makefile, *.cmake) stay.
sweep_build() {
    local since=$build/.run-build-began
    [ -f "$since" ] || return 0
    find "$build" -type f -newer "$since" ! -name build.log ! -name Makefile ! -name '*.cmake' \
        ! -name CMakeCache.txt \( -name '*.o' -o -name '*.a' -o ! -path '*/CMakeFiles/*' \) -delete 2> /dev/null || true
}

cleanup() {
    [ -z "$step_pid" ] || end_tree "$step_pid"
    [ "$building" = 0 ] || sweep_build
    [ -z "$unit_pid" ] || kill -TERM "$unit_pid" 2>/dev/null || true
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
    [ -z "$unit_pid" ] || wait "$unit_pid" 2>/dev/null || true
    for p in "${followers[@]}"; do end_tree "$p"; done
    [ "$held" = 1 ] && [ -d "$root" ] || return 0
    if [ "$laying_out" = 1 ]; then
        # A layout cut short is no sandbox: what it made goes (the folder too if this run made it).
        tools/boardclean "$root" > /dev/null 2>&1 || true
        if [ "$made_root" = 1 ]; then rm -rf "$root"; else find "$root" -mindepth 1 -delete; fi
    elif [ "$made_root" = 1 ] && [ -z "$(ls -A "$root")" ]; then
        # Stopped before the layout: no empty folder left behind.
        rmdir "$root" 2> /dev/null || true
    elif [ -z "$(sandbox_refusal "$root")" ]; then
        # The sandbox stays; what the board left on the host (queues, tool processes) goes.
        tools/boardclean "$root" || true
        [ "$stopping" = 0 ] || echo "run.sh: sandbox left at $root" >&2
        sandbox_note
    fi
}
# A sandbox run.sh made in /tmp for a run without --root stays there (8-200 MB): where, and how
# it goes.
sandbox_note() {
    [ "$given_root" = 0 ] && [ "$held" = 1 ] && [ -d "$root/.board" ] || return 0
    echo "run.sh: this run's sandbox stays in $root ($(du -sh "$root" 2> /dev/null | cut -f1)); run on it again with" \
         "./run.sh --root $root, remove it with: $here/tools/boardclean --remove $root" >&2
}
followers=()
trap cleanup EXIT
# An interrupt or a stop request ends the step under way, or the unit and its peers together.
stop() {
    # A second Ctrl-C must not cut the cleanup short (it takes a second or two at most).
    trap '' INT TERM
    stopping=1
    echo "run.sh: stopping (signal $1)" >&2
    [ -z "$unit_pid" ] || kill -TERM "$unit_pid" 2>/dev/null || true
    exit $((128 + $2))
}
trap 'stop INT 2' INT
trap 'stop TERM 15' TERM

usage="usage: ./run.sh [--seconds N] [--root DIR] [--station-script FILE] | --build-only"
fail_usage() { echo "run.sh: $1 ($usage)" >&2; exit 2; }
# Every argument is checked before anything is built, started or touched.
seconds=""
station_script=""
build_only=0
given_root=0
args=$#
while [ $# -gt 0 ]; do
    case "$1" in
        --build-only) build_only=1; shift ;;
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
[ "$build_only" = 0 ] || [ "$args" -eq 1 ] || fail_usage "--build-only takes no other argument"
jobs=${JOBS:-$(nproc)}
[[ "$jobs" =~ ^[1-9][0-9]{0,3}$ ]] || fail_usage "JOBS takes a positive whole number of build jobs, not '$jobs'"
if [ -n "$seconds" ] && ! [[ "$seconds" =~ ^[0-9]+$ && "$seconds" =~ [1-9] ]]; then
    fail_usage "--seconds takes a positive whole number of seconds, not '$seconds'"
fi
if [ -n "$station_script" ]; then
    script_path=$station_script
    [ "${script_path#/}" != "$script_path" ] || script_path=$caller/$script_path
    [ -f "$script_path" ] && [ -r "$script_path" ] ||
        fail_usage "--station-script $station_script is not a readable file"
    station_script=$(realpath "$script_path")
fi
if [ "$build_only" = 1 ]; then
    :
elif [ -n "$root" ]; then
    given_root=1
    [ "${root#/}" != "$root" ] || root=$caller/$root
    # tools/mksandbox's rule: the shell runner splices the root into command lines.
    [[ ! "$root" =~ [^A-Za-z0-9_./+-] ]] || fail_usage "--root $root: a root may hold only letters, digits and _ . / + -"
    if [ -e "$root" ] && [ ! -d "$root" ]; then
        fail_usage "--root $root is not a folder"
    fi
    # A folder that holds something is used only when mksandbox laid it out (tools/boardclean's
    # test): the unit, its peers and the board's teardown write and remove there.
    if [ -d "$root" ] && [ -n "$(ls -A "$root")" ] && [ -n "$(sandbox_refusal "$root")" ]; then
        fail_usage "--root $root is not a sandbox (a new or empty folder is laid out as one)"
    fi
    [ -d "$(dirname "$root")" ] || fail_usage "--root $root: its parent folder does not exist"
    if [ ! -e "$root" ]; then
        mkdir "$root"
        made_root=1
    fi
else
    root=$(mktemp -d /tmp/doorphone-run-XXXXXX)
    made_root=1
fi
[ "$build_only" = 1 ] || root=$(cd "$root" && pwd)
# One run per root: a second one would reset the running board's network and remove its queues.
# The lock is on the root folder itself (so it holds for a root not laid out yet) and ends with
# this shell; children do not keep it.
[ "$build_only" = 1 ] || exec 9< "$root"
if [ "$build_only" = 1 ]; then
    :
elif ! flock -n 9; then
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
else
    held=1
fi
# flock(1) took the lock for this shell and ended: the pid that holds it is this shell's.
note_holder() { [ "$held" = 0 ] || [ ! -d "$root/.board" ] || echo $$ > "$root/.board/run.pid"; }
note_holder
# A run killed hard may have left its unit, door station or cloud running on this root: they
# would read this run's commands and answer its unit. They end first (tools/boardclean names
# each), as the queues of the killed unit go.
if [ "$held" = 1 ] && [ -z "$(sandbox_refusal "$root")" ]; then
    left=$(tools/boardclean "$root" 2>&1 | grep ': ending process' || true)
    if [ -n "$left" ]; then
        echo "run.sh: an earlier run left processes running on $root: ended them"
        sed 's/^boardclean: [^ ]*: /run.sh:   /' <<< "$left"
    fi
fi

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
build_all() {
    set +e
    cmake --build "$build" -j"$jobs" --target doorphone doorstation cloudsim viewer mkcamera doorphone_res 2>&1 |
        build_progress
    exit "${PIPESTATUS[0]}"
}

step ./scripts/deps.sh
build=build-run
mkdir -p "$build"
# One build at a time in the tree: two runs building it together would break it.
exec 8< "$build"
if ! flock -n 8; then
    echo "run.sh: another run builds in $build/: waiting for it"
    step flock 8
fi
echo "run.sh: building in $build/ (the whole output in $build/build.log)"
step cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDOORPHONE_TESTS=OFF -DDOORPHONE_BENCH=OFF > /dev/null
: > "$build/build.log"
build_rc=0
touch "$build/.run-build-began"
building=1
step bash -c "$(declare -f build_progress build_all); build=$build; jobs=$jobs; build_all" || build_rc=$?
building=0
if [ "$build_rc" -ne 0 ]; then
    tail -n 40 "$build/build.log" >&2
    echo "run.sh: the build failed (see $build/build.log)" >&2
    exit 1
fi
exec 8<&-
# The photographs (a person for the camera: the how-to's visitor), from Debian's python3-skimage.
photo=$here/$build/photos/astronaut.png
if [ ! -s "$photo" ] && ! step ./scripts/fetch-photos.sh "$here/$build/photos" > "$build/photos.log" 2>&1; then
    echo "run.sh: the photographs could not be fetched (see $build/photos.log); the visitor below needs one" >&2
fi
if [ "$build_only" = 1 ]; then
    echo "run.sh: built in $build/"
    exit 0
fi
# The unit's resources (tones, fonts, icons) as the build made them: the sandbox's "/customer/res".
export DOORPHONE_RES_DIR=$here/$build/res/unit

fresh=0
if [ -z "$(ls -A "$root")" ]; then
    laying_out=1
    step tools/mksandbox "$root" > /dev/null
    laying_out=0
    fresh=1
    note_holder
fi
echo "run.sh: sandbox (board root) is $root"
export DOORPHONE_ROOT=$root
# The board powers up: interfaces, modules and daemons of an earlier run are gone; the cable,
# the Wi-Fi module and the networks in range stay as they were left.
step tools/netsim "$root" boot

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
station_args=(--root "$root" --fifo "$station_cmd" --log "$root/.board/doorstation.log" --die-with-parent)
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
# What tools/phone prints (in $phone_out), through a step: a signal meanwhile is not lost, as
# it would be while the shell reads a command substitution.
phone_out=""
phone_says() {
    local out=$root/.board/run.phone
    step tools/phone "$root" "$@" > "$out" || { rm -f "$out"; return 1; }
    phone_out=$(< "$out")
    rm -f "$out"
}
pair() {
    # Pairing the way a phone does on a wired unit: the QR token, debug start.
    phone_says pair
    token=$phone_out
    unit_args=(-m 2 -t "$token")
    echo "run.sh: paired with token ${token:0:2}****** (the unit activates with it)"
}
# Whether the unit keeps an activation: its store ("/DeviceInfo/noxa/noxa_user.db") has the key
# "gw_ai" in a slot in use. The values are encrypted, the slot table is not: a header of 28
# bytes (magic 0x55AA55AA at 16, the slots in use at 24), then 56-byte slots (1 when in use, then
# the key). The cloud's word is not enough: a unit stopped between the cloud's answer and its
# store holds nothing, and would never go online again.
unit_keeps_activation() {
    local db=$root/DeviceInfo/noxa/noxa_user.db magic count
    [ -f "$db" ] || return 1
    read -r magic count < <(od -A n -t u4 -j 16 -N 12 "$db" | awk '{ print $1, $3 }') || return 1
    [ "$magic" = 1437226410 ] && [[ "$count" =~ ^[0-9]+$ ]] && [ "$count" -le 512 ] || return 1
    # Counted, not grep -q: an early end would cut the pipe and read as a failure.
    [ "$(head -c $((28 + 56 * count)) "$db" | tail -c +29 | od -A n -v -t x1 -w56 |
        grep -c '^ 01 00 00 00 67 77 5f 61 69 00')" -gt 0 ]
}
uuid=$(sed -n 's/^UUID=//p' "$root/DeviceInfo/device.conf" 2>/dev/null || true)
if [ "$fresh" = 1 ]; then
    pair
elif ! phone_says devices || ! grep -q " uuid $uuid activated " <<< "$phone_out"; then
    # An earlier run paired the board but the unit never activated (the token is spent).
    echo "run.sh: the board was paired before but never activated (the cloud does not know it): pairing again"
    pair
elif ! unit_keeps_activation; then
    echo "run.sh: the cloud activated the board, but the unit keeps no activation (it was stopped before it stored it): pairing again"
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
  a visitor at door 1 (the person of a photograph comes to the camera and stays; with the motion
  alarm and the human filter turned on first, the phone gets a person notification, dp 185):
    $phone $root dp 134 true 170 true
    $here/$build/tools/mkcamera $root $photo
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
followers+=($!)
follow "$cloud_log" 0 "$cloud_events" "cloud: " 9<&- &
followers+=($!)

# The unit runs beside this shell, so that an interrupt or a stop request reaches this shell at
# once and ends it with the peers; it takes SIGINT at its default even in a background job.
unit=("$build/src/Common/doorphone" "${unit_args[@]}")
if [ -n "$seconds" ]; then
    # Stopped by the time limit is the expected end of a timed run.
    unit=(timeout --signal=INT --kill-after=5 "$seconds" "${unit[@]}")
fi
"${with_run[@]}" env --default-signal=INT "${unit[@]}" >> "$unit_log" 2>&1 9<&- &
unit_pid=$!
set +e
wait "$unit_pid"
rc=$?
set -e
unit_pid=""
[ -n "$seconds" ] && [ $rc -eq 124 ] && rc=0
if [ $rc -eq 86 ]; then
    # The board's reboot (tools/netsim cable pull, an upgrade, a reset): the real unit starts
    # again by itself; here the process ends with the reboot status.
    echo "run.sh: the unit rebooted ($(tail -n 1 "$root/.board/reboot" 2>/dev/null || echo "status 86")), as the real unit does; start it again on the same board with: ./run.sh --root $root"
else
    echo "run.sh: doorphone ended with status $rc; sandbox left at $root"
fi
exit $rc
