#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
#
#   scripts/test.sh [--sanitize] [ctest options…]
#
# --sanitize builds everything once more into build-sanitize/ with
# AddressSanitizer and UndefinedBehaviorSanitizer and runs the whole suite
# there: any memory error, leak or undefined behaviour fails its test.
set -euo pipefail
cd "$(dirname "$0")/.."
sanitize=0
if [ "${1:-}" = "--sanitize" ]; then
  sanitize=1
  shift
fi
scripts/install-deps.sh
export QT_QPA_PLATFORM=offscreen
if [ $sanitize = 0 ]; then
  scripts/build.sh
  ctest --test-dir build --output-on-failure -j"$(nproc)" "$@"
  exit
fi

flags="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DDOZORIX_BUILD_BENCH=OFF -DDOZORIX_BUILD_FUZZ=OFF \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_C_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build build-sanitize -j"$(nproc)"
# Leaks of the libraries' own one-time allocations (fontconfig, Qt's
# plugins) are not ours: tests/sanitize/lsan.supp names them.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/sanitize/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
ctest --test-dir build-sanitize --output-on-failure -j"$(nproc)" "$@"
