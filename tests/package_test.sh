#!/usr/bin/env bash
# Builds the Debian package, checks what it holds and what it depends on, unpacks it into a
# scratch root and starts the installed program under Xvfb until its window shows.
set -euo pipefail
build="$1"
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
scratch="$(mktemp -d)"
source "$repo/tests/support/xvfb.sh"
trap 'stop_xvfb; rm -rf "$scratch"' EXIT

cd "$build"
cpack -G DEB >"$scratch/cpack.log" 2>&1 || { cat "$scratch/cpack.log"; exit 1; }
deb="$(ls -t "$build"/cuevox_*.deb | head -n 1)"
echo "package: $deb"

contents="$(dpkg-deb -c "$deb")"
for f in ./usr/bin/cuevox ./usr/share/applications/cuevox.desktop \
         ./usr/share/icons/hicolor/scalable/apps/cuevox.svg; do
  grep -q " $f\$" <<<"$contents" || { echo "missing from the package: $f"; exit 1; }
done
depends="$(dpkg-deb -f "$deb" Depends)"
echo "depends: $depends"
for lib in libqt6widgets6 libavcodec libportaudio2; do
  grep -q "$lib" <<<"$depends" || { echo "no dependency on $lib"; exit 1; }
done

root="$scratch/root"
dpkg-deb -x "$deb" "$root"
desktop-file-validate "$root/usr/share/applications/cuevox.desktop" ||
  { echo "the desktop entry is not valid"; exit 1; }

export HOME="$scratch/home"
# The Documents folder is found through the configuration folder when that is set: keep both
# in the scratch home, so a desktop's real show is out of reach.
export XDG_CONFIG_HOME="$HOME/.config" XDG_DATA_HOME="$HOME/.local/share" \
  XDG_CACHE_HOME="$HOME/.cache" XDG_STATE_HOME="$HOME/.local/state"
mkdir -p "$HOME"
start_xvfb
found=0
bash -c '
  "$1" >"$2/out.log" 2>&1 &
  pid=$!
  for _ in $(seq 60); do
    if xdotool search --name "^Cuevox" >/dev/null 2>&1; then echo shown; kill $pid; exit 0; fi
    sleep 0.25
  done
  kill $pid 2>/dev/null; exit 1
' _ "$root/usr/bin/cuevox" "$scratch" >"$scratch/run.log" && found=1
if [ "$found" != 1 ]; then
  echo "the installed program showed no window"; cat "$scratch/out.log" || true
  report_xvfb; exit 1
fi
