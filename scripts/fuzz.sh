#!/usr/bin/env bash
# Builds the libFuzzer targets with clang-19, AddressSanitizer and UndefinedBehaviorSanitizer in
# build-fuzz, then runs each target for the given number of seconds (default 60), starting from
# the seed inputs in fuzz/corpus/<name>. Fails on any crash, leak or sanitizer report; the
# failing input is kept as build-fuzz/<target>-crash-… and the fuzzer's output is printed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
targets=(fuzz_message fuzz_envelope fuzz_pairing)

cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++-19 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTORVO_FUZZ=ON -DTORVO_SANITIZE=ON -DTORVO_TESTS=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target "${targets[@]}"

export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export ASAN_SYMBOLIZER_PATH=/usr/bin/llvm-symbolizer
status=0
for target in "${targets[@]}"; do
  corpus="$(mktemp -d)"
  cp fuzz/corpus/"${target#fuzz_}"/* "$corpus"/ 2>/dev/null || true
  log="build-fuzz/${target}.log"
  if ./build-fuzz/fuzz/"$target" -max_total_time="$seconds" -max_len=4200 -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="build-fuzz/${target}-" "$corpus" >"$log" 2>&1; then
    echo "fuzz: $target: $(grep -Eo 'Done [0-9]+ runs.*' "$log" | tail -1)"
  else
    echo "fuzz: $target FAILED" >&2
    tail -n 60 "$log" >&2
    status=1
  fi
  rm -rf "$corpus"
done
exit "$status"
