#!/usr/bin/env bash
# Sets up and builds Cuevox, then runs the whole test suite. The output test plays through a
# private PulseAudio null sink, then through a private PipeWire one, which this script starts
# and stops.
set -euo pipefail
CUEVOX_TESTS=1 source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
# A sound server of this run's own: the output test stops and restarts it, which must not pull
# the device from under another test run on the same machine.
own_soundbox=""
if [ -z "${SOUNDBOX_DIR:-}" ]; then
  own_soundbox="$(mktemp -d /tmp/cuevox-soundbox-XXXXXX)"
  export SOUNDBOX_DIR="$own_soundbox"
fi
eval "$("$repo/scripts/soundbox.sh" start)"
trap '"$repo/scripts/soundbox.sh" stop; [ -z "$own_soundbox" ] || rm -rf "$own_soundbox"' EXIT
cd "$BUILD_DIR"
ctest --output-on-failure -j2 "$@"

# The output test once more on PipeWire's server of the same protocol, which most desktops run:
# a sound server of its own again, started and stopped here.
pw_box="$(mktemp -d /tmp/cuevox-soundbox-pw-XXXXXX)"
(
  export SOUNDBOX_DIR="$pw_box" SOUNDBOX_SERVER=pipewire
  trap '"$repo/scripts/soundbox.sh" stop; rm -rf "$pw_box"' EXIT
  eval "$("$repo/scripts/soundbox.sh" start)"
  "$BUILD_DIR/audio_output_test"
)

# The same suite under AddressSanitizer and UndefinedBehaviorSanitizer, with the fuzzers'
# corpora replayed; then the engine and list file tests under ThreadSanitizer. Clang builds both:
# libFuzzer comes with it. CUEVOX_SANITIZERS=0 skips them for a quick local run.
[ "${CUEVOX_SANITIZERS:-1}" = 0 ] && exit 0
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
  TSAN_OPTIONS="halt_on_error=1:suppressions=$repo/scripts/tsan.supp" \
  LSAN_OPTIONS="suppressions=$repo/scripts/lsan.supp"
for san in address thread; do
  dir="$BUILD_DIR-$san"
  only="" fuzzers=ON
  [ "$san" = thread ] && only='^(audio_(player|formats|live|clock)|list_store)_test$' fuzzers=OFF
  cmake -S "$repo" -B "$dir" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCUEVOX_SANITIZE=$san -DCUEVOX_FUZZERS=$fuzzers -DCUEVOX_TESTS_MATCHING="$only" >/dev/null
  targets=$(cmake --build "$dir" --target help | awk '/_(test|fuzzer)$/ {print $2}')
  # The remote control test starts the program itself.
  [ "$san" = address ] && targets="$targets cuevox"
  cmake --build "$dir" -j"$(nproc)" --target $targets
  if [ "$san" = address ]; then
    (cd "$dir" && ctest --output-on-failure -j2 "$@")
  else
    # No sound server: the engine keeps time on its silent clock, so no device comes and goes
    # mid-test. The test that kills a child process is left out: clang 14's ThreadSanitizer
    # aborts in a threaded process that forks.
    # ALSA offers no device either: probing its plugins loads libraries (a52 pulls in a second
    # GLib type system) that abort under ThreadSanitizer.
    alsa_none="$(mktemp)"
    printf 'pcm.!default { type hw card 99 }\n' >"$alsa_none"
    (cd "$dir" && env -u PULSE_SERVER XDG_RUNTIME_DIR="$(mktemp -d)" ALSA_CONFIG_PATH="$alsa_none" \
      ctest --output-on-failure -j2 -E 'KilledSave' "$@")
  fi
done
