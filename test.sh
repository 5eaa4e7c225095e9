#!/usr/bin/env bash
# Runs the whole test suite: the C++ tests (plain, then under AddressSanitizer
# with UndefinedBehaviorSanitizer, then the concurrency tests under
# ThreadSanitizer), then builds and installs the module and runs pytest.
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc 2>/dev/null || echo 2)

cxx_suite() {  # name, extra cmake args...
  local dir=build/$1; shift
  cmake -S . -B "$dir" -G Ninja -DULMORA_BUILD_TESTS=ON -DULMORA_BUILD_TOOLS=ON -DULMORA_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

echo "== C++ tests (release)"
cxx_suite test-release -DCMAKE_BUILD_TYPE=Release
ctest --test-dir build/test-release --output-on-failure -j "$jobs"

echo "== C++ tests (address + undefined sanitizers)"
cxx_suite test-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DULMORA_SANITIZE=address
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/test-asan --output-on-failure -j "$jobs"

echo "== C++ concurrency tests (thread sanitizer)"
cxx_suite test-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DULMORA_SANITIZE=thread
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/test-tsan --output-on-failure -j "$jobs" -R 'Concurren'

echo "== Python tests"
python3 -m pip install --quiet --no-build-isolation . 
python3 -m pytest -q tests
