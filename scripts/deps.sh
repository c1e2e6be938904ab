#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those that are missing.
# One list for the whole project: later work adds its packages here.
set -euo pipefail

packages=(
    # build and test
    cmake g++ make pkg-config
    libgtest-dev libgmock-dev libbenchmark-dev
    # libraries the unit links
    libssl-dev libcjson-dev libmbedtls-dev
    # tools/boardclean lists process trees (ps)
    procps
    # hash_crc32 is zlib's CRC-32 (the key-value store's tests also read its files with it)
    zlib1g-dev
    # the TLS wrapper's test CA (made by the build) and the loopback HTTP/TLS peers of the tests
    openssl nginx
    # the simulated SoC media layer: H.264 (libx264 inside libavcodec), JPEG and scaling
    libavcodec-dev libswscale-dev libavutil-dev
    # the recorder's MP4 files (libavformat), checked in the tests by ffprobe
    libavformat-dev ffmpeg
    # the MQTT client's tests run their own broker; its benchmark compares with libmosquitto's client
    mosquitto libmosquitto-dev
    # the OSD's fonts, rendered at build time with FreeType from a monospace and a CJK font
    libfreetype-dev fonts-dejavu-core fonts-wqy-zenhei
    # audio: speexdsp's echo canceller and preprocessor, FAAD2 for the tones
    libspeexdsp-dev libfaad-dev
    # the cloud simulator's HTTPS API (over OpenSSL) and the phone CLI's client
    libcpp-httplib-dev curl
    # the S3 signer's test compares with botocore, AWS's own signer
    python3-botocore
    # ffprobe checks that stored and downloaded SD events decode
    ffmpeg
    # the person detector on OpenCV (cascades from opencv-data, networks from files through dnn);
    # its suites read QR codes made by qrencode with OpenCV contrib's reader (photographs:
    # scripts/fetch-photos.sh)
    libopencv-dev libopencv-objdetect-dev libopencv-dnn-dev libopencv-contrib-dev opencv-data qrencode
    # tools/netsim's sniff hands captured frames to the unit's sniffer socket
    python3
    # bench_unit_memory splits the unit's heap from the simulation's with a heap profiler
    heaptrack
)
# The object stores of the local cloud (s3rver, azurite) run on Node; a machine may carry its own
# Node with its own npm, which Debian's npm would conflict with.
if ! command -v node > /dev/null || ! command -v npm > /dev/null; then
    packages+=(nodejs npm)
fi
# The libFuzzer targets (scripts/fuzz.sh, DOORPHONE_FUZZ=1): clang and its runtime, only then.
if [ -n "${DOORPHONE_FUZZ:-}" ]; then
    packages+=(clang libclang-rt-dev)
fi
if [ -n "${DOORPHONE_EXTRA_PACKAGES:-}" ]; then
    read -r -a extra <<< "$DOORPHONE_EXTRA_PACKAGES"
    packages+=("${extra[@]}")
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

# The stores' npm packages, pinned by package-lock.json, into the project (never global). The
# install counts as done only once npm ci has finished: its stamp is written after it. An install
# cut short (Ctrl-C) leaves a folder without the stamp, which the next call installs again (npm ci
# starts by removing the folder, stamp and all).
npm_install() {
    local top stamp
    top=$(cd "$(dirname "$0")/.." && pwd)
    stamp=$top/node_modules/.doorphone-installed
    if [ ! -f "$stamp" ] || [ "$top/package-lock.json" -nt "$stamp" ]; then
        [ ! -d "$top/node_modules" ] || echo "deps.sh: node_modules is incomplete or out of date: installing it again"
        (cd "$top" && npm ci --no-audit --no-fund --loglevel=error)
        touch "$stamp"
    fi
}
if [ ${#missing[@]} -eq 0 ]; then
    npm_install
    exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# Packages with a daemon (nginx) must not start it as a service: the tests run their own.
policy=/usr/sbin/policy-rc.d
if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" > /dev/null
    $sudo chmod 755 "$policy"
    trap '$sudo rm -f "$policy"' EXIT
fi
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
npm_install
