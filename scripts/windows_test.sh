#!/usr/bin/env bash
# Cross-builds the three Windows programs with mingw-w64 and runs their tests under wine
# and a private Xvfb (a private wine prefix in the build folder), then makes the zip.
#   bash scripts/windows_test.sh [build folder]      (default: build-win)
# Needs nothing of a Linux build: the icons are files of the source tree (program2/icons).
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
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVEX_TESTS=ON -DGTest_DIR="$gtest/lib/cmake/GTest" \
  -DTARVEX_ICON_DIR="$PWD/program2/icons" -DTARVEX_WERROR=ON
cmake --build "$build" -j "$jobs"

# Wine and all it starts get a home of their own in the build folder: the menu entries and
# icons its menu builder makes for the package's shortcuts, and whatever else it writes for a
# user (links to the user's folders, caches), stay here, not in the home of whoever runs this.
export HOME=$build/home XDG_CONFIG_HOME=$build/home/.config XDG_DATA_HOME=$build/home/.local/share
export XDG_CACHE_HOME=$build/home/.cache XDG_STATE_HOME=$build/home/.local/state
mkdir -p "$HOME"
export WINEPREFIX=$build/wineprefix WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# A display of our own, whatever else runs on this machine.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$build/xvfb-display" \
  >/dev/null 2>&1 &
xvfb=$!
trap 'wineserver -k 2>/dev/null || true; kill $xvfb 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -s "$build/xvfb-display" ] && break; sleep 0.1; done
export DISPLAY=:$(cat "$build/xvfb-display")
# A wineserver that stays and a first start outside ctest (which makes the prefix):
# otherwise each test waits for the output pipes that wine's background processes keep open.
mkdir -p "$WINEPREFIX"
wineserver -p
wine cmd /c exit >/dev/null 2>&1 || echo "note: the first wine start failed" >&2
# Wine does not find its own fonts by itself: without them the controls take a wider font.
cp -n /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
ctest --test-dir "$build" --output-on-failure -j "$jobs"

# The window at the scales of a screen of 120 and 144 dots per inch (wine's LogPixels), then
# back at 96.
for dpi in 120 144 96; do
  wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
  TARVEX_TEST_DPI=$dpi wine "$build/bin/window_tests.exe" \
    --gtest_filter=NativeWindowTest.EveryControlHasItsDesignPlaceTextAndColour >/dev/null ||
    { echo "the window is not at its twips at $dpi dpi" >&2; exit 1; }
done

(cd "$build" && cpack >/dev/null)
cmake --build "$build" --target msi >/dev/null
bash scripts/msi_test.sh "$build"
zip=$build/tarvex-1.0.0-windows-x64.zip
contents=$(python3 -c 'import sys, zipfile; print(" ".join(sorted(zipfile.ZipFile(sys.argv[1]).namelist())))' "$zip")
[ "$contents" = "README.txt ~~Tarvex.exe ~~Tarvex1.exe ~~Tarvex2.exe" ] ||
  { echo "unexpected zip contents: $contents" >&2; exit 1; }
echo "Windows tests passed under wine; $zip and its .msi made (the stage took $SECONDS s)."
