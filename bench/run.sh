#!/usr/bin/env bash
# Builds and runs every benchmark; each prints its figures beside a baseline measured in the
# same run. Then measures ~~Tarvex2 itself: its peak memory over a pass of 200,000 files, and
# idle its resident memory and the CPU it takes over IDLE_SECONDS (default 600, ten minutes)
# between ticks.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh bench
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVEX_TESTS=ON >/dev/null
cmake --build build -j "$(nproc)" --target file_test_bench pass_bench target_bench window_bench tarvex2
export QT_QPA_PLATFORM=offscreen

echo "== file test against folder size"; ./build/bin/file_test_bench
echo; echo "== pass length";                 ./build/bin/pass_bench
# System calls a file, counted by strace: a pass of the in-memory form and the safe floor over
# 2,000 files, less the same run without either (which makes the files).
calls() {
  BENCH_DIR=${1:-} strace -f -c -o "$2" ./build/bin/window_bench calls "$3" >/dev/null 2>&1
  awk '/ total$/ {print $4}' "$2"
}
count=$(mktemp -d)
for where in disk tmpfs; do
  dir=; [ "$where" = tmpfs ] && dir=/dev/shm
  [ "$where" = tmpfs ] && [ ! -d /dev/shm ] && continue
  none=$(calls "$dir" "$count/none" none)
  pass=$(calls "$dir" "$count/pass" pass)
  floor=$(calls "$dir" "$count/floor" floor)
  echo; echo "== system calls a file, drive on the $where (strace -c, 2,000 files)"
  awk -v n="$none" -v p="$pass" -v f="$floor" \
    'BEGIN {printf "  pass %.2f, safe floor %.2f\n", (p - n) / 2000, (f - n) / 2000}'
done
rm -rf "$count"

echo; echo "== window pass, drive on the disk"; ./build/bin/window_bench 2>/dev/null
echo; echo "== busy and large targets, drive on the disk"; ./build/bin/target_bench
if [ -d /dev/shm ]; then
  echo; echo "== window pass, drive on tmpfs (the disk's varying pace left out)"
  BENCH_DIR=/dev/shm ./build/bin/window_bench 2>/dev/null
  echo; echo "== busy and large targets, drive on tmpfs"
  BENCH_DIR=/dev/shm ./build/bin/target_bench
fi

# A network drive: the shares of an SSH and an SMB server on 127.0.0.1, each seen through two
# mounts (needs root and /dev/fuse; its servers and mounts are gone when this script ends).
if [ "$(id -u)" = 0 ] && [ -e /dev/fuse ]; then
  cmake --build build -j "$(nproc)" --target network_bench
  source scripts/network_drives.sh
  echo; echo "== a pass on a network drive (sshfs), files written through a second mount"
  BENCH_DIR=$ssh_dir/a BENCH_CLIENT_B=$ssh_dir/b ./build/bin/network_bench
  if [ "$smb_ok" = 1 ]; then
    echo; echo "== a pass on a network drive (SMB through smbnetfs), files written through a second mount"
    BENCH_DIR=$smb_dir/a/127.0.0.1/share BENCH_CLIENT_B=$smb_dir/b/127.0.0.1/share \
      BENCH_NO_APPENDS=1 ./build/bin/network_bench
  fi
else
  echo; echo "== network drive: not measured (needs root and /dev/fuse)"
fi

# The peak resident memory of ~~Tarvex2 over a pass of 200,000 one-byte files, above its
# peak at rest (started, one tick over an empty folder).
files=200000
drive=$(mktemp -d /tmp/tarvex-memory-XXXXXX)
mkdir -p "$drive/PMail/Mail/_Remail" "$drive/Ostrand/Mail/Mailin" "$drive/Ostrand/Logs" "$drive/rt"
chmod 700 "$drive/rt"
peak() { awk '/VmHWM/ {print $2}' "/proc/$1/status"; }
TARVEX_DRIVE_P="$drive" XDG_RUNTIME_DIR="$drive/rt" TARVEX_TICK_MS=300 ./build/bin/~~Tarvex2 &
pid=$!
sleep 2
rest=$(peak "$pid")
kill "$pid"; wait "$pid" 2>/dev/null || true
python3 -c 'import sys
for i in range(int(sys.argv[2])): open(f"{sys.argv[1]}/f{i:07d}.cnm", "wb").write(b"x")' \
  "$drive/PMail/Mail/_Remail" "$files"
TARVEX_DRIVE_P="$drive" XDG_RUNTIME_DIR="$drive/rt" TARVEX_TICK_MS=500 ./build/bin/~~Tarvex2 &
pid=$!
for _ in $(seq 900); do
  sleep 1
  [ "$(find "$drive/PMail/Mail/_Remail" -type f | head -1)" = "" ] && break
done
sleep 1
top=$(peak "$pid")
kill "$pid"; wait "$pid" 2>/dev/null || true
rm -rf "$drive"
echo; echo "== peak memory of a pass over $files files (~~Tarvex2)"
printf '  at rest %s KiB, over the pass %s KiB: %s bytes a file (target <= 30)\n' "$rest" "$top" \
  "$(( (top - rest) * 1024 / files ))"

idle=${IDLE_SECONDS:-600}
drive=$(mktemp -d /tmp/tarvex-idle-XXXXXX)
mkdir -p "$drive/PMail/Mail/_Remail" "$drive/Ostrand/Mail/Mailin" "$drive/Ostrand/Logs" "$drive/rt"
chmod 700 "$drive/rt"
TARVEX_DRIVE_P="$drive" XDG_RUNTIME_DIR="$drive/rt" ./build/bin/~~Tarvex2 &
pid=$!
sleep 2
ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
hz=$(getconf CLK_TCK)
start=$(ticks)
sleep "$idle"
used=$(( $(ticks) - start ))
rss=$(awk '/VmRSS/ {print $2}' "/proc/$pid/status")
# The second start of the same program: the whole start-up up to the instance test.
t0=$(date +%s.%N)
TARVEX_DRIVE_P="$drive" XDG_RUNTIME_DIR="$drive/rt" ./build/bin/~~Tarvex2
second=$(awk -v a="$t0" -v b="$(date +%s.%N)" 'BEGIN {printf "%.3f", b - a}')
kill "$pid"; wait "$pid" 2>/dev/null || true
rm -rf "$drive"
echo
echo "== idle ~~Tarvex2 (one-minute tick)"
printf '  CPU over %s s idle: %s s (target < 0.05 s over 600 s)\n' "$idle" \
  "$(awk -v t="$used" -v hz="$hz" 'BEGIN {printf "%.2f", t / hz}')"
printf '  resident memory: %s KiB\n' "$rss"
printf '  a second start, from exec to its end: %s s\n' "$second"
