#!/usr/bin/env bash
# Installs what is missing, then:
#  1. builds everything with AddressSanitizer and UndefinedBehaviorSanitizer and warnings as
#     errors (build-asan) and runs every test in it: the unit tests and the process tests, which
#     run the sanitizer-built programs, and the web phone's tests in node and headless Chromium;
#  2. builds the unit tests with ThreadSanitizer (build-tsan) and runs the concurrency-heavy
#     ones: the app socket server under parallel clients, app requests interleaved with
#     check-ins, the socket abuse of the system suite;
#  3. runs a short fuzz pass of every fuzz target (scripts/fuzz.sh).
# Any failure, sanitizer report or leak fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs="$(nproc)"

stage_start=$SECONDS
stage() { echo "test: $1 took $((SECONDS - stage_start)) s"; stage_start=$SECONDS; }

# A sanitizer report ends the process with a failure; LeakSanitizer checks every test program
# and every program the process tests start.
# Asio's recycling allocator frees with aligned delete what it took with aligned new, which
# GCC's AddressSanitizer takes for a mismatched pair (the same false positive GCC warns about
# at compile time): that one check is off.
export ASAN_OPTIONS="detect_leaks=1:detect_stack_use_after_return=1:alloc_dealloc_mismatch=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

# The sanitizer builds are compiled with -O1 and line tables only: half the compile time of
# -O2 -g on this code, with stack traces that still name files and lines.
sanitizer_flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG")
cmake -S . -B build-asan -DTORVO_WERROR=ON -DTORVO_SANITIZE=ON "${sanitizer_flags[@]}" >/dev/null
cmake --build build-asan -j"$jobs"
# The browser test is registered only where node, Chromium and puppeteer-core are installed;
# here they must be, so a missing one fails the run instead of skipping the test. The list is
# read whole first: grep -q would stop reading at the match, and ctest, killed by SIGPIPE on its
# next line, would fail the pipeline under pipefail.
browser_tests=$(ctest --test-dir build-asan -N -L browser)
grep -q web_phone_browser <<<"$browser_tests" ||
  { echo "test: the web phone's browser test is not registered (node, chromium, puppeteer-core?)" >&2; exit 1; }
stage "the AddressSanitizer build"
(cd build-asan && ctest --output-on-failure -j"$jobs")
stage "the tests under AddressSanitizer"

# ThreadSanitizer: the tests whose threads meet (socket server and its clients, the agent's
# requests while a check-in runs, abusive socket clients against a live agent), each test
# binary with the filter of its tests that run here.
tsan_suites=(
  "app_socket_tests SocketServer*:AgentClient*"
  "agent_tests AgentRequests*:AgentTest*:WithTimeout*:WorkerPool*:NtfyRelayTest*:AgentDoorbell*:RelayDoorbellTest*:RelaySessionsTest*"
  "relay_server_tests RelayServerTest*"
  "system_tests FaultSocket*"
)
tsan_targets=()
for suite in "${tsan_suites[@]}"; do tsan_targets+=("${suite%% *}"); done
cmake -S . -B build-tsan -DTORVO_WERROR=ON -DTORVO_TSAN=ON "${sanitizer_flags[@]}" >/dev/null
cmake --build build-tsan -j"$jobs" --target "${tsan_targets[@]}"
stage "the ThreadSanitizer build"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
for suite in "${tsan_suites[@]}"; do
  "./build-tsan/${suite%% *}" --gtest_filter="${suite#* }" --gtest_brief=1
done
stage "the tests under ThreadSanitizer"

bash scripts/fuzz.sh 30  # short fuzz pass; fails on a crash, leak or sanitizer report
stage "the fuzz pass"

# The Debian package: a Release build of the programs packed by CPack (lintian must find no
# error), then the package test (label "package", registered by -DTORVO_PACKAGE_TEST=ON): it
# installs the package on this machine, runs the installed agent and purges the package.
bash scripts/package.sh -DTORVO_PACKAGE_TEST=ON
ctest --test-dir build-package/packaging -L package --output-on-failure
stage "the package test"
