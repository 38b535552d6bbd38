#!/usr/bin/env bash
# Builds the libFuzzer targets with clang-19, AddressSanitizer and UndefinedBehaviorSanitizer in
# build-fuzz, then runs every target for the given number of seconds (default 60), as many at a
# time as there are cores, each starting from a copy of its seed inputs in fuzz/corpus/<name>.
# Prints one line per target with the executions it made. Fails on any crash, leak, time-out or
# sanitizer report; the failing input is kept as build-fuzz/<target>-crash-… (or leak-, timeout-)
# and the end of the fuzzer's output is printed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
targets=(fuzz_message fuzz_envelope fuzz_pairing fuzz_ntfy fuzz_frame fuzz_background_items
         fuzz_setup_report fuzz_power_file fuzz_info_plist fuzz_model_files fuzz_linux_settings)

# -O1 with line tables only: the usual libFuzzer level, and a much shorter build than -O2 -g.
cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++-19 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -gline-tables-only -DNDEBUG" \
  -DTORVO_FUZZ=ON -DTORVO_SANITIZE=ON -DTORVO_TESTS=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target "${targets[@]}"

export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export ASAN_OPTIONS="detect_leaks=1"
export ASAN_SYMBOLIZER_PATH=/usr/bin/llvm-symbolizer
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# One target: its exit status goes to $work/<target>.status, its output to build-fuzz/<target>.log.
run_target() {
  local target="$1" corpus="$work/${1}.corpus"
  mkdir -p "$corpus"
  cp fuzz/corpus/"${target#fuzz_}"/* "$corpus"/ 2>/dev/null || true
  local status=0
  ./build-fuzz/fuzz/"$target" -max_total_time="$seconds" -max_len=4200 -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="build-fuzz/${target}-" \
    "$corpus" >"build-fuzz/${target}.log" 2>&1 || status=$?
  echo "$status" >"$work/${target}.status"
}

jobs_at_once="$(nproc)"
for target in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs_at_once" ]; do wait -n || true; done
  run_target "$target" &
done
wait

status=0
for target in "${targets[@]}"; do
  log="build-fuzz/${target}.log"
  if [ "$(cat "$work/${target}.status" 2>/dev/null || echo 1)" = 0 ]; then
    runs="$(grep -Eo '^stat::number_of_executed_units: [0-9]+' "$log" | grep -Eo '[0-9]+$' || echo '?')"
    echo "fuzz: $target: $runs executions in ${seconds} s"
  else
    echo "fuzz: $target FAILED" >&2
    tail -n 60 "$log" >&2
    status=1
  fi
done
exit "$status"
