#!/usr/bin/env bash
# Long fuzzing runs, outside the test command: builds the harnesses with coverage feedback from
# all code (clang, ASan+UBSan) into build-fuzz/ and runs one of them on one core.
#   fuzz.sh list_load_fuzzer|audio_open_fuzzer [SECONDS, default 600] [libFuzzer flags...]
# New inputs go to build-fuzz/work/NAME (the committed seeds in fuzz/corpus/NAME stay as they
# are), findings to build-fuzz/artifacts/. Copy a finding into the seeds once it is fixed.
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
name="${1:?fuzzer name}"
secs="${2:-600}"
shift $(( $# < 2 ? $# : 2 ))
dir="$repo/build-fuzz"
cmake -S "$repo" -B "$dir" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCUEVOX_SANITIZE=address -DCUEVOX_FUZZ_COVERAGE=ON -DCUEVOX_FUZZERS=ON \
  -DCUEVOX_TESTS_MATCHING='^$' >/dev/null
cmake --build "$dir" -j"$(nproc)" --target "$name"
mkdir -p "$dir/work/$name" "$dir/artifacts"
cd "$dir"
QT_QPA_PLATFORM=offscreen "./$name" "work/$name" "$repo/fuzz/corpus/$name" \
  -max_total_time="$secs" -timeout=30 -rss_limit_mb=3072 -print_final_stats=1 \
  -artifact_prefix=artifacts/ "$@"
