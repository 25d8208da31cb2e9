#!/usr/bin/env bash
# Builds the libFuzzer harnesses of fuzz/ with clang (ASan and UBSan) in build-fuzz
# and runs each for SECONDS seconds (default 60), one after another on one core,
# starting from the seeds in fuzz/corpus/<harness> (and the words of
# fuzz/dict/<harness>.dict, where there is one). What a run adds to the corpus
# stays in build-fuzz/corpus/<harness>; an input that fails is written to
# build-fuzz/findings/<harness>/ and makes the script exit non-zero once every
# harness has run. Minimise a finding with
#   build-fuzz/fuzz/fuzz_<harness> -minimize_crash=1 -runs=100000 FILE
# and keep it in fuzz/regressions/<harness>/, where every build's tests replay it.
#
#   tools/fuzz.sh [SECONDS] [HARNESS...]
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
harnesses=("$@")
[ ${#harnesses[@]} -gt 0 ] || harnesses=(model_xml fxp_preset data_archive saved_state host_calls)

# Longest input per harness, in bytes.
declare -A max_len=([model_xml]=8192 [fxp_preset]=512 [data_archive]=16384 [saved_state]=1024
                    [host_calls]=1024)

build=build-fuzz
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUORLE_FUZZ=ON -DQUORLE_BENCH=OFF >"$build.configure.log" 2>&1 ||
  { cat "$build.configure.log"; exit 1; }
targets=()
for h in "${harnesses[@]}"; do targets+=("fuzz_$h"); done
cmake --build "$build" -j"${FUZZ_JOBS:-2}" --target "${targets[@]}" || exit 1

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
failed=()
for h in "${harnesses[@]}"; do
  corpus="$build/corpus/$h"
  findings="$build/findings/$h"
  log="$build/logs/$h.log"
  dict=()
  [ -f "fuzz/dict/$h.dict" ] && dict=(-dict="fuzz/dict/$h.dict")
  mkdir -p "$corpus" "$findings" "$(dirname "$log")"
  echo "== fuzzing $h for ${seconds}s"
  # The unit names its directory on standard error whenever it opens; libFuzzer and the
  # sanitizers keep reporting with -close_fd_mask=3.
  "$build/fuzz/fuzz_$h" "$corpus" "fuzz/corpus/$h" -max_total_time="$seconds" \
    -max_len="${max_len[$h]}" -timeout=30 -rss_limit_mb=2048 -close_fd_mask=3 \
    -print_final_stats=1 -artifact_prefix="$findings/" "${dict[@]}" >"$log" 2>&1
  status=$?
  grep -E '^#[0-9]+ +DONE|stat::number_of_executed_units|stat::peak_rss_mb' "$log" | sed 's/^/   /'
  if [ $status -ne 0 ]; then
    echo "   FINDING in $h (status $status); see $log and $findings/"
    grep -E 'ERROR|SUMMARY|==[0-9]+==|\.cpp:[0-9]+' "$log" | head -20 | sed 's/^/   /'
    failed+=("$h")
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found failures in: ${failed[*]}"
  exit 1
fi
echo "fuzzing: no findings"
