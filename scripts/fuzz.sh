#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer) and runs
# each one: first over its committed corpus (seeds and past findings), then for a bounded time.
# Any crash, sanitizer report or broken invariant fails the run; the input that caused it is left
# in build/linux-fuzz/findings/ and belongs in tests/fuzz/corpus/<target>/ once fixed.
#
#   scripts/fuzz.sh               every target, VISTREL_FUZZ_SECONDS (default 20) each
#   scripts/fuzz.sh moov_fuzz     one target
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${VISTREL_FUZZ_SECONDS:-20}
targets=("$@")
[ "${#targets[@]}" -gt 0 ] || targets=(annexb_intake_fuzz convert_fuzz moov_fuzz audio_moov_fuzz block_fuzz encoder_values_fuzz listed_name_fuzz recovery_fuzz host_api_fuzz)

cmake --preset linux-fuzz >/dev/null
cmake --build --preset linux-fuzz -j "${VISTREL_JOBS:-$(nproc)}"

findings=build/linux-fuzz/findings
mkdir -p "$findings"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=()
for target in "${targets[@]}"; do
  bin=build/linux-fuzz/bin/$target
  corpus=tests/fuzz/corpus/$target
  # New inputs go to a scratch folder, so the committed corpus only changes by hand.
  work=build/linux-fuzz/work/$target
  rm -rf "$work"
  mkdir -p "$work"
  echo "=== $target: corpus"
  if ! "$bin" -runs=0 -artifact_prefix="$findings/$target-" "$corpus" >"$work.log" 2>&1; then
    tail -n 40 "$work.log"
    failed+=("$target")
    continue
  fi
  echo "=== $target: ${seconds} s"
  if "$bin" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$findings/$target-" \
      "$work" "$corpus" >"$work.log" 2>&1; then
    grep -E '^stat::number_of_executed_units|DONE' "$work.log" || true
  else
    tail -n 40 "$work.log"
    failed+=("$target")
  fi
done

if [ "${#failed[@]}" -gt 0 ]; then
  echo "fuzzing FAILED: ${failed[*]} (inputs in $findings)"
  exit 1
fi
echo "fuzzing passed: ${targets[*]}"
