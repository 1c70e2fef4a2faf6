#!/usr/bin/env bash
# Sets up and builds Cuevox, then starts it.
set -euo pipefail
BUILD_TARGETS=cuevox source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
exec "$BUILD_DIR/cuevox" "$@"
