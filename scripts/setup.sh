#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (only those that
# are missing), then configures and builds the release preset.
# Usage: scripts/setup.sh [PRESET...]   (default: release)
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev libgl-dev
    libavformat-dev libavcodec-dev libswresample-dev libavutil-dev libtag1-dev ffmpeg
    libgtest-dev libbenchmark-dev
    rapidjson-dev
    clang-14 libclang-rt-14-dev
    python3
    libblkid-dev
    fuse3 fusefat mtools dosfstools exfat-fuse exfatprogs
    xvfb xauth dbus-daemon dbus-x11 at-spi2-core python3-dogtail imagemagick
    desktop-file-utils appstream librsvg2-bin
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
mkdir -p build
# apt, debconf and the build talk a lot: their output goes to a log under
# build/, shown only when they fail.
quietly() {
    local log="build/$1.log"
    shift
    "$@" >"$log" 2>&1 || { tail -n 40 "$log"; echo "Failed: $* (log: $log)"; exit 1; }
}
if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    quietly apt-update $sudo apt-get update -qq
    # Through env: sudo drops the caller's environment.
    quietly apt-install $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(release)
for preset in "${presets[@]}"; do
    echo "== Building the $preset preset (log: build/build-$preset.log)"
    quietly "configure-$preset" cmake --preset "$preset"
    quietly "build-$preset" cmake --build --preset "$preset"
done
