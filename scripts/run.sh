#!/usr/bin/env bash
# Sets up and builds Cuevox, then starts it.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
exec "$BUILD_DIR/cuevox" "$@"
