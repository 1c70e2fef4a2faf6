#!/usr/bin/env bash
# Sets up and builds Cuevox, then runs the whole test suite. The output test plays through a
# private PulseAudio null sink, which this script starts and stops.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
eval "$("$repo/scripts/soundbox.sh" start)"
trap '"$repo/scripts/soundbox.sh" stop' EXIT
cd "$BUILD_DIR"
ctest --output-on-failure -j2 "$@"
