#!/usr/bin/env bash
# fetch-photos.sh OUTDIR: the photographs of the detection suites, benchmarks and mkcamera, from
# the "skimage/data" folder of Debian's python3-skimage. The package is downloaded and unpacked
# into OUTDIR only (apt-get download, dpkg -x): nothing is installed. Does nothing once they are
# all there.
set -euo pipefail
out=${1:?usage: fetch-photos.sh OUTDIR}
photos=(astronaut.png camera.png brick.png grass.png gravel.png coffee.png chelsea.png coins.png rocket.jpg
        text.png color.png)

have_all() {
    local p
    for p in "${photos[@]}"; do
        [ -s "$out/$p" ] || return 1
    done
}
have_all && exit 0

mkdir -p "$out"
# Absolute: the copies below are made from the work folder.
out=$(cd "$out" && pwd)
work=$(mktemp -d "$out/.fetch.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
fail() {
    echo "fetch-photos.sh: $1" >&2
    [ -f log ] && sed 's/^/    /' log >&2
    echo "fetch-photos.sh: the person detection suites and benchmarks need the photographs of Debian's" \
         "python3-skimage; run 'apt-get download python3-skimage' by hand to see why it fails" >&2
    exit 1
}
if ! apt-get download python3-skimage > log 2>&1; then
    # Package lists missing or out of date (a fresh machine): read them once, then try again.
    if [ "$(id -u)" -ne 0 ]; then
        fail "apt-get download python3-skimage failed (and only root may update the package lists)"
    fi
    apt-get update -qq >> log 2>&1 || fail "apt-get update failed"
    apt-get download python3-skimage >> log 2>&1 || fail "apt-get download python3-skimage failed"
fi
deb=$(ls python3-skimage_*.deb 2> /dev/null | head -n 1)
[ -n "$deb" ] || fail "no python3-skimage package was downloaded"
dpkg -x "$deb" unpacked > log 2>&1 || fail "dpkg -x of $deb failed"
data=$(find unpacked -type d -path '*/skimage/data' | head -n 1)
[ -n "$data" ] || fail "$deb holds no skimage/data folder"
for p in "${photos[@]}"; do
    [ -s "$data/$p" ] || fail "$deb holds no skimage/data/$p"
    cp "$data/$p" "$out/$p.tmp" && mv "$out/$p.tmp" "$out/$p"
done
echo "fetch-photos.sh: ${#photos[@]} photographs from $deb in $out"
