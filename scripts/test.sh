#!/usr/bin/env bash
# Installs what is missing, checks the formatting, builds the Release and the sanitizer
# (address + undefined) builds, and runs every test in both: GoogleTest through CTest, and
# pytest for the Python module; runs the parallel-run tests under the thread sanitizer; then
# kills runs and fills their disk (tests/crash/crash_test.py, about half a minute).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

echo "== Formatting (.clang-format)"
# Drift fails the run, so the sources stay in one shape; `clang-format -i FILE` fixes a file.
git ls-files '*.cpp' '*.hpp' '*.h' | xargs clang-format --dry-run -Werror

jobs=${JOBS:-2}
build() {  # build DIR [cmake options...]
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

build build/release -DIMG_UTIL_WERROR=ON
# Warnings are errors in the Release build only: with the sanitizers GCC 12 reports
# -Wmaybe-uninitialized inside libstdc++ headers (std::regex, std::function) that are not ours.
build build/asan -DIMG_UTIL_SANITIZE=ON -DIMG_UTIL_PYTHON=OFF

echo "== GoogleTest, Release build"
ctest --test-dir build/release --output-on-failure -j"$jobs"
echo "== GoogleTest, address+undefined sanitizer build"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/asan --output-on-failure -j"$jobs"

echo "== Files worked on in parallel, the CPU budget and progressive JPEGs read on two threads, thread sanitizer build"
# The driver's tests run whole sites with several workers, which is where threads meet; the
# image library's own threads are exercised there too, and a progressive JPEG's reading on two
# threads in its own tests.
cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=Release -DIMG_UTIL_SANITIZE_THREAD=ON \
  -DIMG_UTIL_PYTHON=OFF >/dev/null
cmake --build build/tsan -j"$jobs" --target test_driver test_imaging
TSAN_OPTIONS=halt_on_error=1 build/tsan/tests/test_driver --gtest_brief=1 \
  --gtest_filter='Parallel*:CpuBudget*:Execute*:Workers*'
TSAN_OPTIONS=halt_on_error=1 build/tsan/tests/test_imaging --gtest_brief=1 \
  --gtest_filter='JpegEntropy*:JpegScans*'

echo "== Killed runs and a full disk, Release build"
/usr/bin/python3 tests/crash/crash_test.py --cli build/release/img_util --kills 12 --seed 1

if [ -d tests/python ] && ls build/release/img_util*.so >/dev/null 2>&1; then
  echo "== pytest, Python module"
  IMG_UTIL_BUILD_DIR="$PWD/build/release" PYTHONPATH="$PWD/build/release" \
    /usr/bin/python3 -m pytest -q tests/python
fi
