#!/usr/bin/env bash
# Builds ~~Tarvex2 and runs it for a few seconds on a demonstration drive laid out in a
# temporary folder, with a one-second tick; then shows what moved and the log.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target tarvex2

drive=$(mktemp -d /tmp/tarvex-demo-XXXXXX)
mkdir -p "$drive/PMail/Mail/_Remail" "$drive/Ostrand/Mail/~Pegasus" \
         "$drive/Ostrand/Mail/Mailin" "$drive/Ostrand/Logs" "$drive/.runtime"
chmod 700 "$drive/.runtime"
src="$drive/PMail/Mail/_Remail"
printf 'order 1001\n' > "$src/order-1001.cnm"
printf 'an upper-case name\n' > "$src/INVOICE.CNM"
printf 'the newer collide\n' > "$src/collide.cnm"
printf 'the older collide\n' > "$drive/Ostrand/Mail/Mailin/collide.cnm"
: > "$src/empty.cnm"
printf 'not a .cnm file\n' > "$src/notes.txt"

echo "Demonstration drive P: is $drive"
echo "Before:"
(cd "$drive" && find PMail Ostrand -type f | sort | sed 's/^/  /')

platform=offscreen
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then platform=""; fi
echo
echo "Running ~~Tarvex2 for 5 seconds with a 1-second tick${platform:+ (offscreen: no display)}..."
set +e
TARVEX_DRIVE_P="$drive" TARVEX_TICK_MS=1000 XDG_RUNTIME_DIR="$drive/.runtime" \
  QT_QPA_PLATFORM="${platform:-${QT_QPA_PLATFORM:-}}" \
  timeout 5 ./build/bin/~~Tarvex2
status=$?
set -e
[ "$status" -eq 124 ] || { echo "~~Tarvex2 ended early with status $status"; exit 1; }

echo
echo "After:"
(cd "$drive" && find PMail Ostrand -type f | sort | sed 's/^/  /')
echo
echo "Transfer log P:\\Ostrand\\Logs\\~Mailin.log:"
sed 's/\r$//; s/^/  /' "$drive/Ostrand/Logs/~Mailin.log"
cat <<MSG

The empty file and notes.txt stay in the source; collide.cnm arrived under a ~col name.
To run the programs for real, point drive P: at the shared drive and start them:
  TARVEX_DRIVE_P=/path/to/drive build/bin/~~Tarvex2   (also ~~Tarvex1 and ~~Tarvex)
The demonstration drive is left in $drive.
MSG
