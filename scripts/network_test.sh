#!/usr/bin/env bash
# Runs the programs on real network drives (scripts/network_drives.sh mounts them: an SSH
# and an SMB drive, each seen from two clients, A running the mover, B writing and
# consuming). Needs root and a build folder with e2e_tests.
#   bash scripts/network_test.sh [build]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
e2e=$(realpath "$build/bin/e2e_tests")
source scripts/network_drives.sh

# --- The scenarios ----------------------------------------------------------------------
# The end-to-end suite's plain moves on the drive seen through A (with a short quiet period,
# as its writers are on A), then the scenarios with a second client, with the default one.
plain='EndToEnd.TheTargetRemovedAndPutBackDuringAPassLosesNothing'
plain+=':Target/TwoMovers.EveryFileOnceAndOneLineForEachMove/OnTheDrive'
plain+=':EndToEnd.AnUnmappedDriveNeitherEndsAProgramNorWritesAnything'
run_on() {
  local name=$1 a=$2 b=$3 extra=$4
  mkdir -p "$a/tmp"
  wait_for test -d "$b/tmp"
  echo "== network drive: $name"
  [ -z "${TARVEX_NETWORK_SCENARIOS:-}" ] &&
  (cd "$scratch" && TMPDIR=$a/tmp TARVEX_QUIET_SECONDS=1 QT_QPA_PLATFORM=offscreen \
     "$e2e" --gtest_filter="$plain$extra" --gtest_brief=1)
  (cd "$scratch" && TMPDIR=$a/tmp TARVEX_TEST_CLIENT_B_TMPDIR=$b/tmp QT_QPA_PLATFORM=offscreen \
     "$e2e" --gtest_filter="${TARVEX_NETWORK_SCENARIOS:-NetworkDrive.*}" --gtest_brief=1)
}
TARVEX_TEST_SERVER_STOP=$scratch/ssh-server-stop TARVEX_TEST_SERVER_START=$scratch/ssh-server-start \
  TARVEX_TEST_SERVER_FREEZE=$scratch/ssh-server-freeze \
  run_on "SSH (sshfs, two mounts)" "$ssh_dir/a" "$ssh_dir/b" \
  ':EndToEnd.CollisionsInBulkKeepEveryFileAndTouchNothingInTheTarget'
# The mover on a client that answers from sshfs's own cache for 20 s: a writer on B, a
# consumer on B, and the server away.
echo "== network drive: SSH, client A with sshfs's own cache"
(cd "$scratch" && TMPDIR=$ssh_dir/a-cached/tmp TARVEX_TEST_CLIENT_B_TMPDIR=$ssh_dir/b/tmp \
   TARVEX_TEST_SERVER_STOP=$scratch/ssh-server-stop \
   TARVEX_TEST_SERVER_START=$scratch/ssh-server-start QT_QPA_PLATFORM=offscreen \
   "$e2e" --gtest_brief=1 --gtest_filter="${TARVEX_NETWORK_SCENARIOS:-NetworkDrive.AWriter*:NetworkDrive.AConsumer*:NetworkDrive.AFileServerAway*}")
if [ $smb_ok -eq 1 ]; then
  run_on "SMB (smbnetfs, two mounts)" "$smb_dir/a/127.0.0.1/share" \
    "$smb_dir/b/127.0.0.1/share" ""
fi
echo "Network drives: every scenario held."
