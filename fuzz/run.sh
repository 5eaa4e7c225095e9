#!/usr/bin/env bash
# Runs one libFuzzer target and reports executions, coverage and findings.
#
#   fuzz/run.sh TARGET SECONDS [libFuzzer options...]
#
# TARGET is snapshot, wal, value or payload. The clang build lives in
# build/fuzz (configured and built here when needed), the seeds are
# regenerated into build/fuzz/seeds/TARGET, the corpus grows in
# build/fuzz/corpus/TARGET and crashing inputs land in
# build/fuzz/findings/TARGET. Environment:
#   FUZZ_RUNS=N      stop after N executions (the smoke run)
#   FUZZ_CORPUS=DIR  use DIR as the corpus (created when missing)
#   FUZZ_BUILD=DIR   the clang build directory (default build/fuzz)
# Exit status: 0 without findings, 1 with findings, 2 on usage or build
# errors.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -lt 2 ]; then
  echo "usage: $0 TARGET SECONDS [libFuzzer options...]" >&2
  exit 2
fi
target=$1 seconds=$2
shift 2
case $target in
  snapshot) max_len=8192 ;;
  wal|value) max_len=4096 ;;
  payload) max_len=2048 ;;
  *) echo "unknown target $target (snapshot, wal, value, payload)" >&2; exit 2 ;;
esac

build=${FUZZ_BUILD:-build/fuzz}
quiet() {  # runs a command, showing its output only when it fails
  local out
  if ! out=$("$@" 2>&1); then
    echo "$out" >&2
    exit 2
  fi
}
if [ ! -f "$build/build.ninja" ]; then
  quiet env CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DULMORA_FUZZ=ON
fi
quiet cmake --build "$build" -j 2 --target "fuzz_$target" ulmora_fuzz_seeds

"$build/fuzz/ulmora_fuzz_seeds" "$build/seeds" "$target" >/dev/null
corpus=${FUZZ_CORPUS:-$build/corpus/$target}
findings=$build/findings/$target
mkdir -p "$corpus" "$findings" "$build/logs"
log=$build/logs/$target-$(date +%Y%m%d-%H%M%S).log
before=$(find "$findings" -type f | wc -l)

args=(-max_total_time="$seconds" -max_len="$max_len" -timeout=20 -rss_limit_mb=2048
      -dict=fuzz/ulmora.dict -artifact_prefix="$findings/" -print_final_stats=1)
[ -n "${FUZZ_RUNS:-}" ] && args+=(-runs="$FUZZ_RUNS")

status=0
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1} \
  "$build/fuzz/fuzz_$target" "${args[@]}" "$@" "$corpus" "$build/seeds/$target" >"$log" 2>&1 || status=$?

execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
last=$(grep -E '^#[0-9]+' "$log" | tail -1 || true)
cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
files=$(find "$corpus" -type f | wc -l)
bytes=$(du -sb "$corpus" | cut -f1)
new=$(( $(find "$findings" -type f | wc -l) - before ))
if [ "$status" -ne 0 ] && [ "$new" -eq 0 ]; then new=1; fi  # a crash that wrote no artifact

echo "target=$target seconds=$seconds executions=${execs:-?} edges=${cov:-?} features=${ft:-?}" \
     "corpus_files=$files corpus_bytes=$bytes findings=$new log=$log"
if [ "$new" -ne 0 ]; then
  grep -E 'ERROR|runtime error|fuzz check failed|SUMMARY|Test unit written' "$log" | head -20 >&2 || true
  exit 1
fi
