#!/usr/bin/env bash
# Sums up the runs logged in build/fuzz/logs (or FUZZ_BUILD/logs): per
# target the executions of all runs (a run stopped early counts up to its
# last status line), the edges, features and corpus in use (inputs/size) of
# the run that reached the most edges, the corpus on disk and the finding files, as a Markdown
# table.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${FUZZ_BUILD:-build/fuzz}
echo "| Target | Runs | Executions | Edges | Features | Corpus in use | Corpus files | Corpus bytes | Findings |"
echo "|---|---|---|---|---|---|---|---|---|"
total=0
for target in snapshot wal value payload; do
  runs=0 execs=0 cov=- ft=- live=-
  for log in $(ls "$build"/logs/"$target"-*.log 2>/dev/null | sort); do
    n=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    last=$(grep -E '^#[0-9]+' "$log" | tail -1 || true)
    [ -z "$n" ] && n=$(sed -n 's/^#\([0-9]*\).*/\1/p' <<<"$last")
    [ -z "$n" ] && continue
    runs=$((runs + 1)) execs=$((execs + n))
    c=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
    if [ -n "$c" ] && { [ "$cov" = - ] || [ "$c" -gt "$cov" ]; }; then
      cov=$c
      ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
      live=$(sed -n 's/.* corp: \([0-9]*\/[0-9]*[a-zA-Z]*\).*/\1/p' <<<"$last")
    fi
  done
  corpus=$build/corpus/$target
  files=$(find "$corpus" -type f 2>/dev/null | wc -l)
  bytes=$(du -sb "$corpus" 2>/dev/null | cut -f1 || echo 0)
  found=$(find "$build/findings/$target" -type f 2>/dev/null | wc -l)
  total=$((total + execs))
  echo "| \`$target\` | $runs | $execs | $cov | $ft | $live | $files | ${bytes:-0} | $found |"
done
echo
echo "Executions in all: $total"
