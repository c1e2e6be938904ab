#!/bin/sh
# Simulated installer of the system image ("/customer/upgrade.sh" runs it): copies the downloaded
# image "/dev/VN204QH_APP.bin" to the board's flash ("<root>/.board/flash/app.bin", replaced in one
# step) and restarts the board with the simulated reboot, which only records; the unit restarts
# itself when this returns.
# The simulation runs on the host's own tools (the unit's commands get a narrower PATH).
PATH=${0%/*}:/usr/local/bin:/usr/bin:/bin
. "$(dirname "$0")/.simlib"
sim_log "$@"
image=$DOORPHONE_ROOT/dev/VN204QH_APP.bin
if [ ! -s "$image" ]; then
    echo "upgrade.sh: no image at /dev/VN204QH_APP.bin" >&2
    exit 1
fi
flash=$SIM_STATE/flash
mkdir -p "$flash"
if ! cp "$image" "$flash/app.bin.$$" || ! mv -f "$flash/app.bin.$$" "$flash/app.bin"; then
    rm -f "$flash/app.bin.$$"
    echo "upgrade.sh: the flash was not written" >&2
    exit 1
fi
md5=$(md5sum < "$flash/app.bin" | cut -d' ' -f1)
sim_log "flashed app.bin md5 $md5"
echo "upgrade.sh: image installed, md5 $md5"
reboot
