#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build Cuevox (and, with CUEVOX_TESTS=1, to
# test it), then builds it. Sourced by run.sh and test.sh; BUILD_DIR (default build/) is where
# the build goes, and BUILD_TARGETS (default: everything) what it builds.
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$repo/build}"
CUEVOX_TESTS="${CUEVOX_TESTS:-0}"

# What building and running the program need.
packages=(
  build-essential cmake pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-svg-dev libgl1-mesa-dev
  libavformat-dev libavcodec-dev libswresample-dev libavutil-dev
  portaudio19-dev libpulse-dev libdbus-1-dev nlohmann-json3-dev
  liblo-dev librtmidi-dev libjack-jackd2-dev libasound2-plugins libarchive-dev
)
# What only the tests, benchmarks and sanitizer builds use: the test frameworks, a display and
# input of their own, private sound servers and JACK, reference players and recorders, the
# accessibility probe, the package check and the sanitizers' compiler.
test_packages=(
  libgtest-dev libgmock-dev libbenchmark-dev
  liblo-tools jackd2 ffmpeg sox libsox-fmt-all
  pulseaudio pulseaudio-utils pipewire pipewire-pulse wireplumber
  at-spi2-core dbus dbus-bin dbus-daemon python3-pyatspi gir1.2-atspi-2.0
  xvfb xauth xdotool dpkg-dev desktop-file-utils
  python3-xlib python3-gi gir1.2-gstreamer-1.0 gstreamer1.0-pulseaudio gstreamer1.0-plugins-base
  clang libclang-rt-14-dev e2fsprogs
)
testing=OFF
if [ "$CUEVOX_TESTS" = 1 ]; then
  packages+=("${test_packages[@]}")
  testing=ON
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Without the tests, configuring needs no test framework.
cmake -S "$repo" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=$testing >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)" ${BUILD_TARGETS:+--target $BUILD_TARGETS}
