#!/usr/bin/env bash
# Installs what is missing, builds the plain and the sanitizer build, runs every test in
# both, checks the install and the Debian package, runs the programs on an SSH and an SMB
# drive each mounted twice, builds the fuzz target and a Release build, and cross-builds the
# Windows part and runs its tests under wine, every build without a warning; and leaves the
# home of whoever runs it as it was.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh test windows network

# The home of whoever runs this stays as it was: everything started here gets a private
# one (wine its own, in its build folder), and the real one is checked at the end.
real_home=${HOME:-}
checkout=$PWD
started=$(mktemp /tmp/tarvex-test-started-XXXXXX)
private_home=$(mktemp -d /tmp/tarvex-test-home-XXXXXX)
trap 'rm -rf "$private_home" "$started"' EXIT
export HOME=$private_home XDG_CONFIG_HOME=$private_home/.config
export XDG_DATA_HOME=$private_home/.local/share XDG_CACHE_HOME=$private_home/.cache
export XDG_STATE_HOME=$private_home/.local/state

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen

# Every build fails on a warning.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVEX_TESTS=ON -DTARVEX_WERROR=ON
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"
bash scripts/package_test.sh build
bash scripts/network_test.sh build

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARVEX_SANITIZE=ON -DTARVEX_WERROR=ON
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs"

CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTARVEX_FUZZ=ON -DTARVEX_TESTS=OFF -DTARVEX_WERROR=ON
cmake --build build-fuzz -j "$jobs" --target box_number_fuzz

# What a packager builds: everything, optimised further, without a warning.
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVEX_WERROR=ON
cmake --build build-release -j "$jobs"

bash scripts/windows_test.sh build-win

if [ -n "$real_home" ] && [ -d "$real_home" ]; then
  changed=$(find "$real_home" -xdev \( -path "$checkout" -prune \) -o -newer "$started" -print \
              2>/dev/null | head -20)
  if [ -n "$changed" ]; then
    echo "The test command changed the home $real_home (the first 20 entries):" >&2
    echo "$changed" >&2
    exit 1
  fi
fi
echo "All tests passed in the plain and the sanitizer build, on network drives and under wine; package checked; fuzz target built."
