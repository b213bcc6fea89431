#!/usr/bin/env bash
# Cross-builds the Windows part of the project with mingw-w64 and runs its tests under
# wine (headless; a private wine prefix in the build folder).
#   bash scripts/windows_test.sh [build folder]      (default: build-win)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh windows
build=$(realpath -m "${1:-build-win}")
jobs=$(nproc)

# GoogleTest for mingw, from Debian's own sources, once per build folder.
gtest=$build/googletest
if [ ! -f "$gtest/lib/cmake/GTest/GTestConfig.cmake" ]; then
  cmake -S /usr/src/googletest -B "$build/googletest-build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$gtest" -DBUILD_GMOCK=OFF -Dgtest_disable_pthreads=OFF >/dev/null
  cmake --build "$build/googletest-build" -j "$jobs" >/dev/null
  cmake --install "$build/googletest-build" >/dev/null
fi

cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVEX_TESTS=ON -DGTest_DIR="$gtest/lib/cmake/GTest"
cmake --build "$build" -j "$jobs"

export WINEPREFIX=$build/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# A wineserver that stays and a first start outside ctest (which makes the prefix):
# otherwise each test waits for the output pipes that wine's background processes keep open.
mkdir -p "$WINEPREFIX"
wineserver -p
wine cmd /c exit >/dev/null 2>&1
trap 'wineserver -k || true' EXIT
ctest --test-dir "$build" --output-on-failure -j "$jobs"
echo "Windows tests passed under wine."
