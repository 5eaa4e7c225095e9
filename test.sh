#!/usr/bin/env bash
# Runs the whole test suite: the C++ tests (plain, then under AddressSanitizer
# with UndefinedBehaviorSanitizer, then the concurrency tests under
# ThreadSanitizer; each C++ run also replays the fuzz seeds and
# fuzz/regressions), a short run of every fuzz target (clang's libFuzzer),
# then builds and installs the module and runs pytest.
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc 2>/dev/null || echo 2)

cxx_suite() {  # name, extra cmake args... ; $targets (optional) limits the build
  local dir=build/$1; shift
  cmake -S . -B "$dir" -G Ninja -DULMORA_BUILD_TESTS=ON -DULMORA_BUILD_TOOLS=ON -DULMORA_WERROR=ON "$@" >/dev/null
  # shellcheck disable=SC2086
  cmake --build "$dir" -j "$jobs" ${targets:+--target $targets}
}

echo "== C++ tests (release)"
cxx_suite test-release -DCMAKE_BUILD_TYPE=Release
ctest --test-dir build/test-release --output-on-failure -j "$jobs"

# The sanitizer builds compile at -O1 with line tables only: at -O2 -g a
# GoogleTest file takes three times as long under ASan+UBSan, and -O1 is
# what the sanitizers are meant to run at.
san_flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG")

echo "== C++ tests (address + undefined sanitizers)"
cxx_suite test-asan "${san_flags[@]}" -DULMORA_SANITIZE=address
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/test-asan --output-on-failure -j "$jobs"

echo "== C++ concurrency tests (thread sanitizer)"
# Only the test programs that hold concurrency tests are built here.
targets="ulmora_hnsw_test ulmora_segment_test ulmora_binding_test" \
  cxx_suite test-tsan "${san_flags[@]}" -DULMORA_SANITIZE=thread
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/test-tsan --output-on-failure -j "$jobs" -R 'Concurren'

echo "== Fuzz smoke (libFuzzer, bounded executions per target)"
if ! command -v clang++ >/dev/null; then
  echo "clang++ not found; .ci/run installs clang and its libFuzzer runtime" >&2
  exit 1
fi
for entry in snapshot:40000 wal:4000 value:200000 payload:200000; do
  target=${entry%%:*}
  rm -rf "build/fuzz/smoke/$target"
  FUZZ_RUNS=${entry#*:} FUZZ_CORPUS="build/fuzz/smoke/$target" fuzz/run.sh "$target" 40
done

echo "== Python tests"
# The module is built in the release pass's directory, so the core compiled
# there (same flags) is reused rather than compiled a second time.
python3 -m pip install --quiet --no-build-isolation -Cbuild-dir=build/test-release .
python3 -m pytest -q tests
