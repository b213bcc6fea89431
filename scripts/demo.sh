#!/usr/bin/env bash
# Builds the three programs and runs ~~Tarvex2 on a demonstration drive laid out in a
# temporary folder, with a one-second tick and files arriving while it runs; then shows
# what moved and the log.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh demo
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVEX_TESTS=OFF >/dev/null
cmake --build build -j "$(nproc)" --target tarvex2 tarvex1 tarvex0

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
# The program itself, not a shell around it, so that the kill below ends it.
run=(env TARVEX_DRIVE_P="$drive" TARVEX_TICK_MS=1000 XDG_RUNTIME_DIR="$drive/.runtime"
     QT_QPA_PLATFORM="${platform:-${QT_QPA_PLATFORM:-}}")
echo
echo "Running ~~Tarvex2 for 8 seconds with a 1-second tick${platform:+ (offscreen: no display)}..."
"${run[@]}" ./build/bin/~~Tarvex2 &
program=$!
sleep 1
# ~~Tarvex2 starts minimised: a second start brings its window back and to the front.
"${run[@]}" ./build/bin/~~Tarvex2 || true
for i in 1 2 3; do  # more files arrive while it runs, so that each pass has work to show
  sleep 1.5
  printf 'arrived during the run (%s)\n' "$i" > "$src/late-$i.cnm"
done
sleep 2.5
kill "$program" 2>/dev/null || true
wait "$program" 2>/dev/null || true

echo
echo "After:"
(cd "$drive" && find PMail Ostrand -type f | sort | sed 's/^/  /')
echo
echo "Transfer log P:\\Ostrand\\Logs\\~Mailin.log:"
sed 's/\r$//; s/^/  /' "$drive/Ostrand/Logs/~Mailin.log"
cat <<MSG

The empty file and notes.txt stay in the source; collide.cnm arrived under a ~col name.
The three programs are build/bin/~~Tarvex2, build/bin/~~Tarvex1 and build/bin/~~Tarvex.
To run them for real, point drive P: at the shared drive and start them:
  TARVEX_DRIVE_P=/path/to/drive build/bin/~~Tarvex2   (also ~~Tarvex1 and ~~Tarvex)
The demonstration drive is left in $drive.
MSG
